// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

// The server's state folder, which keeps every set, account, session and
// the log. Each file is plain, readable by its owner alone, and replaced
// whole: written beside its old self, synced, renamed over it, and the
// folder synced, so that a kill or a power cut at any moment leaves the old
// file or the new one, never a mixture.
class StateFolder {
public:
    // Where the state lives: systemd's $STATE_DIRECTORY (the first, where
    // it lists several), else `given` (--state), else
    // $XDG_STATE_HOME/pelorin, else ~/.local/state/pelorin.
    static QString locate(const QString &given);

    explicit StateFolder(const QString &path) : m_path(path) {}
    QString path() const { return m_path; }
    // Makes the folder (mode 0700) if it is missing, and removes what a
    // write cut short left behind. False, and error() says why, if it
    // cannot be used.
    bool open();
    QString error() const { return m_error; }

    // A file's bytes; `exists` false when there is none. Null and error()
    // on failure.
    QByteArray read(const QString &name, bool *exists = nullptr);
    bool write(const QString &name, const QByteArray &bytes);
    bool remove(const QString &name);
    // What a reader made of a file's bytes: nothing where it read them
    // all; why not, where it could not read the file at all; or, in
    // `leftOut`, the records it could not read and went on without, each
    // named so that a person can find it.
    struct Reading {
        // Not explicit: a reader that answers only why not answers a Reading.
        Reading(QString reason = {}) : why(std::move(reason)) {}
        QString why;
        QStringList leftOut;
    };
    // Reads a file that the server keeps, which `reader` makes sense of.
    // One that is there but cannot be read whole is never taken for none,
    // nor written over: it is moved aside, as
    // NAME.unreadable-YYYYMMDD-HHMMSS, and problems() says so, with
    // `advice` (what its loss means, and what to do), at this start and
    // each one after while that copy is kept. Where the reader left
    // records out, the file is copied so, before anything can write over
    // it (once: not again while a copy holds the same bytes), and
    // problems() names them; the rest of it is read. False where it could
    // not be read; true where it was, or there is none.
    using Reader = std::function<Reading(const QByteArray &bytes)>;
    bool readWhole(const QString &name, const Reader &reader, const QString &advice);
    // What the server could not read of its state, in words a person can
    // act on: for the journal, and the owner's page.
    QStringList problems() const;
    // Those of one file.
    QStringList problemsOf(const QString &name) const { return m_problems.value(name); }
    // The copies of a file kept aside because they could not be read, as
    // they are now: one its owner has deleted is gone from the list.
    QStringList copiesOf(const QString &name) const;
    // Whether a file could be neither read nor moved aside, and so is
    // never written.
    bool isHeld(const QString &name) const { return m_held.contains(name); }
    // `bytes` as JSON, and why not where they are not, or not of `shape`.
    static QString parseJson(const QByteArray &bytes, QJsonValue::Type shape, QJsonDocument *document);

    // Makes a file the folder's owner's, where root wrote it for a server
    // that runs as that owner.
    bool giveToFolderOwner(const QString &name);
    // The names of the files under `subfolder` that end in `suffix`.
    QStringList list(const QString &subfolder, const QString &suffix) const;

    // Whether `name` is a name this folder keeps: relative, below it, of
    // plain parts; never a way out of it.
    static bool isPlainName(const QString &name);

private:
    bool fail(const QString &what, int error);
    bool held(const QString &name);
    // A free name beside `path` for a copy of it that could not be read.
    static QString asideName(const QString &path);

    QString m_path;
    QString m_error;
    QMap<QString, QStringList> m_problems;  // by the file they are of
    QMap<QString, QString> m_saidOfCopy;    // by a copy kept aside since the start: what was said of it
    QStringList m_held;                     // unreadable, and not moved aside: never written
};
