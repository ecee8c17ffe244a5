# Sources of the payloads folder, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        payloads/AttributeMapNI.cpp
        payloads/DataId_NI.cpp
        payloads/DocumentSubscriber.cpp
        payloads/Data_NI_Layer.cpp
        payloads/NFSyncProcessing.cpp
        payloads/SubKeys.cpp)
brim_public_headers(BrimSubscriber BASE ${PROJECT_SOURCE_DIR} FILES
    payloads/AttributeMapNI.h
    payloads/BaseTypes.h
    payloads/DataId_NI.h
    payloads/DocumentSubscriber.h
    payloads/Data_NI_Layer.h
    payloads/NFSyncProcessing.h
    payloads/SubKeys.h)
