# Sources of the platform layer. platform/ holds the public headers and the
# code that needs only the standard library; platform/internal/ the headers
# shared inside the layer (installed nowhere); platform/linux/ only code that
# calls the operating system: file look-up and change notification, thread
# priority and names, the wake-up descriptor.
target_sources(BrimPlatform
    PRIVATE
        platform/Check.cpp
        platform/Diagnostics.cpp
        platform/CString.cpp
        platform/Document.cpp
        platform/Event.cpp
        platform/Lock.cpp
        platform/FileChangeSource.cpp
        platform/MessageLoop.cpp
        platform/PeriodicTimer.cpp
        platform/TargetTable.cpp
        platform/ThreadQueue.cpp
        platform/TimerQueue.cpp
        platform/TickCount.cpp
        platform/WinThread.cpp
        platform/Wnd.cpp
        platform/internal/AsymmetricFence.h
        platform/internal/FutexLock.h
        platform/internal/ThreadName.h
        platform/internal/TargetTable.h
        platform/internal/ThreadQueue.h
        platform/internal/TimerQueue.h
        platform/internal/WakeUpFd.h
        platform/linux/AsymmetricFence.cpp
        platform/linux/FileAccess.cpp
        platform/linux/InotifySource.cpp
        platform/linux/Thread.cpp
        platform/linux/WakeUpFd.cpp)
brim_public_headers(BrimPlatform BASE ${PROJECT_SOURCE_DIR} FILES
    platform/Check.h
    platform/Diagnostics.h
    platform/CString.h
    platform/Document.h
    platform/Event.h
    platform/FileAccess.h
    platform/FileChangeSource.h
    platform/Lock.h
    platform/MessageLoop.h
    platform/PeriodicTimer.h
    platform/PlatformExport.h
    platform/Thread.h
    platform/ThreadAnnotations.h
    platform/ThreadChecker.h
    platform/TickCount.h
    platform/WinThread.h
    platform/WinTypes.h
    platform/Wnd.h)
