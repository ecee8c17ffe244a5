# Writes the README's first C++ example to OUTPUT, as the README shows it, and
# a second copy to OUTPUT_DISPATCHER with one line added after the hub's first
# use: the process-wide dispatcher reached too, so that it is destroyed before
# the hub at exit.
#   cmake -DREADME=README.md -DOUTPUT=a.cpp -DOUTPUT_DISPATCHER=b.cpp -P ExtractExample.cmake
# With HEADER instead of README, writes the program shown in that header's
# opening comment (from its #include of the umbrella header to the closing
# brace of main) to OUTPUT, without the comment marks.
if(DEFINED HEADER)
    file(READ "${HEADER}" _text)
    string(REGEX MATCH "//   #include <BrimSubscriber/BrimSubscriber.h>\n.*\n//   }\n" _example "${_text}")
    if(_example STREQUAL "")
        message(FATAL_ERROR "${HEADER} shows no complete program")
    endif()
    string(REGEX REPLACE "(^|\n)// ? ? ?" "\\1" _example "${_example}")
    file(WRITE "${OUTPUT}" "${_example}")
    return()
endif()
file(READ "${README}" _text)
string(FIND "${_text}" "```cpp\n" _start)
if(_start EQUAL -1)
    message(FATAL_ERROR "${README} has no C++ example")
endif()
math(EXPR _start "${_start} + 7")
string(SUBSTRING "${_text}" ${_start} -1 _rest)
string(FIND "${_rest}" "```" _end)
string(SUBSTRING "${_rest}" 0 ${_end} _example)
file(WRITE "${OUTPUT}" "${_example}")

string(REGEX REPLACE "(\n[^\n]*SubscriptionManager::Instance\\(\\);[^\n]*)"
       "\\1\n    brim::MainThreadDispatcher::Instance();" _with_dispatcher "${_example}")
if(_with_dispatcher STREQUAL _example)
    message(FATAL_ERROR "the README's first example no longer reaches SubscriptionManager::Instance()")
endif()
file(WRITE "${OUTPUT_DISPATCHER}" "#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>\n${_with_dispatcher}")
