// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// Some tests need a process of their own: to run under limits (a file size
// limit, another user) or to measure its peak memory. The test executable
// then starts itself again in a child mode.

// The child side. Returns -1 if the arguments name no child mode, so that
// main goes on with the tests.
//   --save-child PATH  changes message 1 and saves to PATH (answering Yes)
//   --load-child PATH  loads PATH
//   --pick-child DEVICE1 DEVICE2  takes away its own access to DEVICE2,
//                      then picks port 2; prints "open 0" or "open 1"
// Either prints what the window told the user, then the peak resident
// memory ("peak KB") and the command's time ("ms N").
int runChildMode(int argc, char **argv);

struct ChildResult {
    int exitCode = -1;
    QString output;
};

// The parent side: this executable in a child mode, on the offscreen
// platform; `inChild` runs in the child before the program starts.
ChildResult startChild(const QStringList &arguments, std::function<void()> inChild = {});

// A child that runs as another user: as root, the user nobody, who may not
// reach the folders the tests were started from (a checkout under a 0700
// folder, say), so it is given a copy of this executable in a folder of
// its own, removed again with this object. As any other user, the child
// runs as that same user.
class OtherUser {
public:
    OtherUser();
    ~OtherUser();
    OtherUser(const OtherUser &) = delete;
    OtherUser &operator=(const OtherUser &) = delete;

    // Empty when the child can be started; otherwise why not.
    QString problem() const { return m_problem; }
    bool isSomeoneElse() const { return m_uid >= 0; }
    unsigned uid() const { return unsigned(m_uid); }
    unsigned gid() const { return unsigned(m_gid); }
    // A copy of another program in the child's folder, where the child may
    // run it; empty if it cannot be made. The program itself when the child
    // is this same user.
    QString copyIn(const QString &program) const;
    // The child's environment as it differs from this one: the sanitizers'
    // options, naming copies of their files that the child may read.
    const QMap<QString, QString> &settings() const { return m_settings; }
    // As startChild, with `inChild` run after the change of user.
    ChildResult start(const QStringList &arguments, std::function<void()> inChild = {}) const;

private:
    long m_uid = -1, m_gid = -1;
    QString m_folder;
    QString m_executable;
    QString m_problem;
    QMap<QString, QString> m_settings;  // of the child's environment
};

// This process's environment, with `settings` set and the variables in
// `unset` taken out.
QProcessEnvironment environmentWith(const QMap<QString, QString> &settings, const QStringList &unset = {});

// The number after `key` in a child's output, or -1.
long long childFigure(const QString &output, const QString &key);
