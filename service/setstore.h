// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <optional>

class StateFolder;

// The board's named sets, kept in the state folder as .mes files written
// and read by the same code as the window's Save and Load, so that a set
// exported from the page loads in the window byte for byte. A set's
// version is a hash of its file's bytes: an edit names the version it
// began from, and one that someone else's save has overtaken is refused.
class SetStore {
public:
    static constexpr int kLongestName = 40;

    struct Set {
        QString name;
        std::array<QString, MessageSet::kSlots> messages;  // 1..9, the idle message last
        std::array<bool, MessageSet::kInputs> open{};      // each input's level: open (1) or grounded (0)
        QString port;                                      // the file's port line, as it holds it
        QByteArray version;
    };
    // Why a request was refused: its HTTP status and words a person can act
    // on. Status 0: not refused.
    struct Refusal {
        int status = 0;
        QString error;
        explicit operator bool() const { return status != 0; }
    };

    explicit SetStore(StateFolder &state) : m_state(state) {}

    // 1 to 40 letters, digits, spaces, '-' or '_': never a path.
    static bool isSetName(const QString &name);
    static QByteArray versionOf(const QByteArray &file);

    QList<std::pair<QString, QByteArray>> list();  // name and version
    bool has(const QString &name) const;
    std::optional<Set> get(const QString &name, Refusal *refusal);
    // The set's file, for export.
    QByteArray file(const QString &name, Refusal *refusal);
    // Saves `set` under `name`: with `ifMatch` only over that version, and
    // with `createOnly` only where no set has the name yet. The new
    // version, or empty and the refusal.
    QByteArray put(const QString &name, const Set &set, const std::optional<QByteArray> &ifMatch, bool createOnly,
                   Refusal *refusal);
    // A .mes file's bytes, read as Load reads a file.
    QByteArray import(const QString &name, const QByteArray &file, const std::optional<QByteArray> &ifMatch,
                      bool createOnly, Refusal *refusal);
    bool remove(const QString &name, const QByteArray &ifMatch, Refusal *refusal);

    // A set as JSON reads it, or the refusal that names the field at fault.
    static std::optional<Set> fromJson(const QJsonObject &json, Refusal *refusal);
    static QJsonObject toJson(const Set &set);
    // The set as the window's record holds it, for Save and for Send.
    static MessageSet messageSet(const Set &set);

private:
    QByteArray store(const QString &name, const QByteArray &bytes, const std::optional<QByteArray> &ifMatch,
                     bool createOnly, Refusal *refusal);
    static QString fileName(const QString &name) { return QStringLiteral("sets/") + name + QStringLiteral(".mes"); }

    StateFolder &m_state;
};
