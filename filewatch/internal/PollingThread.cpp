#include "filewatch/internal/PollingThread.h"

#include "filewatch/internal/WatchCore.h"

#include <algorithm>
#include <utility>

namespace brim {

namespace filewatch_detail {

std::shared_ptr<PollingThread> PollingThread::Start(WatchCore& core, platform::ThreadStarter& starter,
                                                    std::shared_ptr<PollingThread> predecessor, std::uint32_t firstPass) {
    auto started = std::make_shared<PollingThread>();
    started->m_predecessor = std::move(predecessor);
    started->m_firstPass = firstPass;
    PollingThread& self = *started;
    if (!starter.Start(self.m_thread, [&core, &self] { self.Run(core); }, platform::ThreadPriority::Low, "brim-filewatch")) {
        return nullptr;
    }
    return started;
}

void PollingThread::Run(WatchCore& core) {
    if (m_predecessor) {
        m_predecessor->m_ended.Wait();
        m_predecessor.reset();
    }
    std::uint32_t nextPass = m_firstPass;
    for (;;) {
        // Taken before the stop request is looked at, so that a request made
        // after the look still ends the wait.
        const std::uint64_t since = core.Source().InterruptCount();
        const std::optional<std::uint32_t> wait = core.MsToWait(*this, nextPass);
        if (!wait) break;
        core.Source().Wait(static_cast<int>(std::min<std::uint32_t>(*wait, 0x7FFFFFFF)), since);
        if (!core.RunRound(*this, nextPass)) break;
    }
    m_ended.Set();
}

}  // namespace filewatch_detail

}  // namespace brim
