# Sources of the payloads folder, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        payloads/BaseTypes.h)
