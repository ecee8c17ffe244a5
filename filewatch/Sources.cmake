# Sources of the filewatch folder, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        filewatch/FileSubscription.cpp
        filewatch/FileWatcher.cpp
        filewatch/NFData.cpp
        filewatch/internal/Debounce.cpp
        filewatch/internal/KernelWatches.cpp
        filewatch/internal/PollingThread.cpp
        filewatch/internal/WatchCore.cpp
        filewatch/internal/WatchedFiles.cpp)
brim_public_headers(BrimSubscriber BASE ${PROJECT_SOURCE_DIR} FILES
    filewatch/FileSubscription.h
    filewatch/FileWatcher.h
    filewatch/NFData.h)
