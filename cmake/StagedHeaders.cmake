# brim_stage_headers(<source-root> <include-dir>): makes <include-dir> offer
# the public headers as clients include them, <BrimSubscriber/<folder>/...>:
# <include-dir>/BrimSubscriber/ gets a link to each source folder. Clients
# need <source-root>/include as an include directory too, for the headers of
# no folder.
function(brim_stage_headers root dir)
    file(MAKE_DIRECTORY ${dir}/BrimSubscriber)
    foreach(_link IN ITEMS platform subscription mainthread filewatch payloads testing
                          siblings/BrimBaseR/BrimBaseR siblings/BuildMatchR/BuildMatchR)
        get_filename_component(_name ${_link} NAME)
        file(CREATE_LINK ${root}/${_link} ${dir}/BrimSubscriber/${_name} SYMBOLIC)
    endforeach()
endfunction()
