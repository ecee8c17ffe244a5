# Sources of the platform layer: portable headers in platform/, the Linux
# implementation in platform/linux/.
target_sources(BrimPlatform
    PRIVATE
        platform/Check.cpp
        platform/CString.cpp
        platform/Document.cpp
        platform/Event.cpp
        platform/TickCount.cpp
        platform/linux/FileAccess.cpp
        platform/linux/MessageLoop.cpp
        platform/linux/PeriodicTimer.cpp
        platform/linux/Thread.cpp
        platform/linux/ThreadQueue.cpp
        platform/linux/WakeUpFd.cpp
        platform/linux/WinThread.cpp
        platform/linux/Wnd.cpp)
brim_public_headers(BrimPlatform BASE ${PROJECT_SOURCE_DIR} FILES
    platform/Check.h
    platform/CString.h
    platform/Document.h
    platform/Event.h
    platform/FileAccess.h
    platform/Lock.h
    platform/MessageLoop.h
    platform/PeriodicTimer.h
    platform/PlatformExport.h
    platform/Thread.h
    platform/TickCount.h
    platform/WinThread.h
    platform/WinTypes.h
    platform/Wnd.h)
