// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class QThreadPool;

// Argon2id hashes of passwords, as libsodium stores them. A hash takes a
// tenth of a second and tens of megabytes on purpose, so they are made one
// at a time on a thread of their own: a sign-in during an upload delays no
// character. Past a short queue, a request is turned away (503) rather
// than kept waiting.
class PasswordHasher : public QObject {
    Q_OBJECT
public:
    static constexpr int kQueue = 4;  // waiting, beside the one being made
    // Who asks, for a place in the queue: a browser that signed in to the
    // account before goes before strangers, and has places of its own, so
    // that strangers' guesses filling the queue keep no one out who is
    // known; the owner's known browsers go first and have places no one
    // else takes, so that no staff account, signing in over and over from
    // its own known browser, keeps the owner out either.
    enum class Priority { Stranger, Known, Owner };
    static constexpr int kReserved = 2;        // for the known
    static constexpr int kOwnersReserved = 2;  // for the owner's known
    static constexpr unsigned long long kPasses = 2;
    static constexpr size_t kMemory = 32u << 20;
    static constexpr int kLongestPassword = 1024;

    explicit PasswordHasher(QObject *parent = nullptr);
    ~PasswordHasher() override;

    // Whether libsodium could start; nothing is hashed where it could not.
    bool isReady() const { return m_ready; }
    // The hash to store for `password`, empty on failure, handed to `done`
    // on this object's thread. False, and `done` never called, when the
    // queue is full.
    bool hash(const QByteArray &password, std::function<void(const QByteArray &)> done);
    // Whether `password` is the one `stored` was made from, and whether the
    // hash should be made again at today's parameters. An empty `stored`
    // (a name that does not exist) is checked against a dummy, so that its
    // answer takes as long as a real one.
    bool verify(const QByteArray &stored, const QByteArray &password,
                std::function<void(bool matches, bool rehash)> done, Priority priority = Priority::Stranger);

private:
    bool queue(std::function<void()> work, Priority priority = Priority::Stranger);

    bool m_ready = false;
    int m_pending = 0;
    std::unique_ptr<QThreadPool> m_pool;
};
