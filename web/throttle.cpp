// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/throttle.h"

#include <algorithm>

using namespace std::chrono;

namespace {

seconds ceilSeconds(SignInThrottle::Clock::duration d) { return d <= d.zero() ? seconds(0) : ceil<seconds>(d); }

}  // namespace

seconds SignInThrottle::waitFor(const QString &address, Clock::time_point now)
{
    while (!m_recent.empty() && m_recent.front() <= now - kGlobalWindow)
        m_recent.pop_front();
    seconds wait(0);
    if (const auto record = m_byAddress.constFind(address); record != m_byAddress.cend())
        wait = ceilSeconds(record->until - now);
    // Past the global bound every address waits: only guessing from many
    // addresses at once reaches it, as one address alone cannot.
    if (int(m_recent.size()) >= kGlobalFailures)
        wait = std::max(wait, ceilSeconds(m_recent.front() + kGlobalWindow - now));
    return wait;
}

void SignInThrottle::failed(const QString &address, Clock::time_point now)
{
    m_recent.push_back(now);
    Record &record = m_byAddress[address];
    ++record.failures;
    if (record.failures >= kFreeFailures) {
        const int doublings = std::min(record.failures - kFreeFailures, 20);
        record.until = now + std::min<seconds>(kFirstWait * (1LL << doublings), kLongestWait);
    }
}

void SignInThrottle::succeeded(const QString &address) { m_byAddress.remove(address); }
