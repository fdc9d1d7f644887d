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
    // Places kept for a browser that signed in before, which goes first:
    // strangers' guesses filling the queue must not keep the owner out.
    static constexpr int kReserved = 2;
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
                std::function<void(bool matches, bool rehash)> done, bool first = false);

private:
    bool queue(std::function<void()> work, bool first = false);

    bool m_ready = false;
    int m_pending = 0;
    std::unique_ptr<QThreadPool> m_pool;
};
