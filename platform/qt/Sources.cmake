# The Qt adapter: our message loop driven by a thread's Qt event loop.
target_sources(BrimPlatformQt
    PRIVATE
        platform/qt/QtLoop.cpp)
brim_public_headers(BrimPlatformQt BASE ${PROJECT_SOURCE_DIR} FILES
    platform/qt/QtExport.h
    platform/qt/QtLoop.h)
