#pragma once

// The base-library types that payloads carry, in one place: data ids
// (CDataId), page spans (Page), and the display and attribute objects that
// payloads only point to (CAttributeMap, CDisplayDoc, CBrimBaseDisplayLayer).
// They are defined by the base library BrimBaseR, which this library links.
//
//   #include <BrimSubscriber/payloads/BaseTypes.h>
//   std::vector<CDataId> ids{CDataId(3, 17)};
//
// See each BrimBaseR header for the contract of its type.

#include <BrimSubscriber/BrimBaseR/DataId.h>
#include <BrimSubscriber/BrimBaseR/DisplayTypes.h>
#include <BrimSubscriber/BrimBaseR/Page.h>

namespace brim {

}  // namespace brim
