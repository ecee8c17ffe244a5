# Sources of the main-thread services and the module entry, added to the
# BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        mainthread/BrimSubscriber.cpp
        mainthread/MainThreadDispatcher.cpp
        mainthread/UIWatchdog.cpp)
brim_public_headers(BrimSubscriber BASE ${PROJECT_SOURCE_DIR} FILES
    mainthread/BrimSubscriber.h
    mainthread/CallbackWindow.h
    mainthread/MainThreadDispatcher.h
    mainthread/MoveOnlyFunction.h
    mainthread/UIWatchdog.h
    mainthread/WindowMessages.h)
