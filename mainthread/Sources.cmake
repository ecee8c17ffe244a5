# Sources of the main-thread services and the module entry, added to the
# BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        mainthread/BrimSubscriber.cpp
        mainthread/MainThreadDispatcher.cpp
        mainthread/UIWatchdog.cpp
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        mainthread/BrimSubscriber.h
        mainthread/MainThreadDispatcher.h
        mainthread/UIWatchdog.h
        mainthread/WindowMessages.h)
