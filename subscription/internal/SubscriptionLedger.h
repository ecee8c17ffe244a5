#pragma once

// The debug builds' record of which receiver is entered under which key of
// which registry, so that a receiver destroyed while a registry still holds
// it is caught at its destruction, with the type and key it was left under.
// Release builds keep nothing, check nothing and pay nothing: every function
// below is then an empty inline one (the ledger's cost, a process-wide lock
// and an entry per subscription, is measured by building a release with
// BRIM_LEDGER_IN_RELEASE=1 against the benchmark's subscribe churn). Internal
// to the library.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Check.h>

namespace brim {

class Subscriber;
class SubscriptionMap;

namespace subscription_ledger {

#if BRIM_DCHECK_IS_ON || BRIM_LEDGER_IN_RELEASE
void Entered(const Subscriber* subscriber, const SubscriptionMap* map, int type, const CString& key);
void Removed(const Subscriber* subscriber, const SubscriptionMap* map, const CString& key);
void MapGone(const SubscriptionMap* map);
void ReceiverGone(const Subscriber* subscriber);
#else
inline void Entered(const Subscriber*, const SubscriptionMap*, int, const CString&) {}
inline void Removed(const Subscriber*, const SubscriptionMap*, const CString&) {}
inline void MapGone(const SubscriptionMap*) {}
inline void ReceiverGone(const Subscriber*) {}
#endif

}  // namespace subscription_ledger

}  // namespace brim
