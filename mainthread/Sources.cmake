# Sources of the main-thread services, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        mainthread/MainThreadDispatcher.cpp
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        mainthread/MainThreadDispatcher.h
        mainthread/WindowMessages.h)
