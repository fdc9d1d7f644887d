// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

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

    QString m_path;
    QString m_error;
};
