// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/passwords.h"

#include <QThreadPool>

#include <mutex>
#include <sodium.h>

namespace {

QByteArray makeHash(const QByteArray &password)
{
    char out[crypto_pwhash_STRBYTES];
    if (password.size() > PasswordHasher::kLongestPassword
        || crypto_pwhash_str(out, password.constData(), size_t(password.size()), PasswordHasher::kPasses,
                             PasswordHasher::kMemory)
               != 0)
        return {};
    return QByteArray(out);
}

// The hash an unknown name is checked against: made once, by the hashing
// thread, the first time one is needed.
const QByteArray &dummyHash()
{
    static std::once_flag once;
    static QByteArray dummy;
    std::call_once(once, [] { dummy = makeHash("no account has this password"); });
    return dummy;
}

}  // namespace

PasswordHasher::PasswordHasher(QObject *parent) : QObject(parent), m_pool(std::make_unique<QThreadPool>())
{
    m_ready = sodium_init() >= 0;
    m_pool->setMaxThreadCount(1);
}

PasswordHasher::~PasswordHasher()
{
    // A hash under way finishes; its answer goes nowhere.
    m_pool->clear();
    m_pool->waitForDone();
}

bool PasswordHasher::queue(std::function<void()> work, Priority priority)
{
    const int room =
        kQueue + (priority != Priority::Stranger ? kReserved : 0) + (priority == Priority::Owner ? kOwnersReserved : 0);
    if (!m_ready || m_pending > room)
        return false;
    ++m_pending;
    m_pool->start(std::move(work), int(priority));
    return true;
}

// The answer goes back by a queued call to this object, which waits in its
// destructor for the thread: a call still queued then is dropped with it.
bool PasswordHasher::hash(const QByteArray &password, std::function<void(const QByteArray &)> done)
{
    return queue([this, password, done = std::move(done)] {
        const QByteArray stored = makeHash(password);
        QMetaObject::invokeMethod(
            this,
            [this, stored, done] {
                --m_pending;
                done(stored);
            },
            Qt::QueuedConnection);
    });
}

bool PasswordHasher::verify(const QByteArray &stored, const QByteArray &password,
                            std::function<void(bool matches, bool rehash)> done, Priority priority)
{
    return queue(
        [this, stored, password, done = std::move(done)] {
            const bool known = !stored.isEmpty();
            const QByteArray &against = known ? stored : dummyHash();
            const bool verified =
                password.size() <= kLongestPassword
                && crypto_pwhash_str_verify(against.constData(), password.constData(), size_t(password.size())) == 0;
            const bool matches = known && verified;
            const bool rehash = matches && crypto_pwhash_str_needs_rehash(stored.constData(), kPasses, kMemory) != 0;
            QMetaObject::invokeMethod(
                this,
                [this, matches, rehash, done] {
                    --m_pending;
                    done(matches, rehash);
                },
                Qt::QueuedConnection);
        },
        priority);
}
