// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/throttle.h"

#include <algorithm>

using namespace std::chrono;

namespace {

seconds ceilSeconds(SignInThrottle::Clock::duration d) { return d <= d.zero() ? seconds(0) : ceil<seconds>(d); }

}  // namespace

seconds SignInThrottle::waitFor(const QString &address, Clock::time_point now)
{
    const auto record = m_byAddress.constFind(address);
    return record == m_byAddress.cend() ? seconds(0) : ceilSeconds(record->until - now);
}

seconds SignInThrottle::heldBack(const QString &account, Clock::time_point now)
{
    const auto found = m_byAccount.find(account.toLower());
    if (found == m_byAccount.end())
        return seconds(0);
    std::deque<Clock::time_point> &recent = *found;
    while (!recent.empty() && recent.front() <= now - kWindow)
        recent.pop_front();
    if (recent.empty()) {
        m_byAccount.erase(found);
        return seconds(0);
    }
    return int(recent.size()) >= kAccountFailures ? ceilSeconds(recent.front() + kWindow - now) : seconds(0);
}

void SignInThrottle::failed(const QString &address, Clock::time_point now, const QString &account)
{
    if (!account.isEmpty()) {
        std::deque<Clock::time_point> &recent = m_byAccount[account.toLower()];
        recent.push_back(now);
        // More than the bound is never needed to judge it.
        while (int(recent.size()) > kAccountFailures)
            recent.pop_front();
    }
    if (m_byAddress.size() >= kAddresses && !m_byAddress.contains(address))
        forgetIdle(now);
    Record &record = m_byAddress[address];
    ++record.failures;
    if (record.failures >= kFreeFailures) {
        const int doublings = std::min(record.failures - kFreeFailures, 20);
        record.until = now + std::min<seconds>(kFirstWait * (1LL << doublings), kLongestWait);
    }
}

void SignInThrottle::succeeded(const QString &address) { m_byAddress.remove(address); }

void SignInThrottle::forgetIdle(Clock::time_point now)
{
    for (auto it = m_byAddress.begin(); it != m_byAddress.end();) {
        if (it->until + kWindow <= now)
            it = m_byAddress.erase(it);
        else
            ++it;
    }
    // Every one of them still waiting: the newest comer starts from
    // nothing, which only lets it try its few free guesses.
    if (m_byAddress.size() >= kAddresses)
        m_byAddress.erase(m_byAddress.begin());
}
