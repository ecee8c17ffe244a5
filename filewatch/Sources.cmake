# Sources of the filewatch folder, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        filewatch/FileSubscription.cpp
        filewatch/FileWatcher.cpp
        filewatch/NFData.cpp
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        filewatch/FileSubscription.h
        filewatch/FileWatcher.h
        filewatch/NFData.h)
