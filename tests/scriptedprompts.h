// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ui/prompts.h"

#include <QList>
#include <QStringList>

#include <functional>

// Prompts that record what the window says and give the answers queued for
// it. A dialog with no answer queued is cancelled; a question with none is
// answered No.
class ScriptedPrompts : public Prompts {
public:
    void tell(const QString &text) override { told << text; }
    std::optional<QString> chooseFileToOpen() override { return next(openAnswers, dialogs, "open"); }
    std::optional<QString> chooseFileToSave() override
    {
        const std::optional<QString> answer = next(saveAnswers, dialogs, "save");
        if (answer && afterSaveDialog)
            afterSaveDialog(*answer);
        return answer;
    }
    bool confirmOverwrite(const QString &text) override
    {
        asked << text;
        return !overwriteAnswers.isEmpty() && overwriteAnswers.takeFirst();
    }

    QStringList told;
    QStringList asked;
    QStringList dialogs;  // "open" or "save", in the order shown
    QList<std::optional<QString>> openAnswers;
    QList<std::optional<QString>> saveAnswers;
    QList<bool> overwriteAnswers;
    // Runs once the save dialog has given a name, before the window goes on.
    std::function<void(const QString &)> afterSaveDialog;

private:
    static std::optional<QString> next(QList<std::optional<QString>> &answers, QStringList &shown, const char *kind)
    {
        shown << QLatin1String(kind);
        return answers.isEmpty() ? std::nullopt : answers.takeFirst();
    }
};
