// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

class QWidget;

// Everything the window asks or tells the user goes through here, so that
// tests can script the answers.
class Prompts {
public:
    virtual ~Prompts() = default;
    // A message with an OK button; returns once the user has read it.
    virtual void tell(const QString &text) = 0;
    // The message file dialog, for opening or for saving. Empty when the
    // user cancels.
    virtual std::optional<QString> chooseFileToOpen() = 0;
    virtual std::optional<QString> chooseFileToSave() = 0;
    // Save's question before it replaces a file: true for Yes.
    virtual bool confirmOverwrite(const QString &text) = 0;
};

// The real dialogs, parented to the window.
class WidgetPrompts : public Prompts {
public:
    explicit WidgetPrompts(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }

    void tell(const QString &text) override;
    std::optional<QString> chooseFileToOpen() override;
    std::optional<QString> chooseFileToSave() override;
    bool confirmOverwrite(const QString &text) override;

    static constexpr const char *kFilter = "Tavro message files (*.mes)|*.mes";
    // The filter as Qt's dialog writes it: the description holds the pattern.
    static QString qtFilter(const QString &filter);

private:
    std::optional<QString> choose(bool forSaving);

    QWidget *m_window;
    // Each use starts where the last one ended, in its folder and with its
    // file name. The dialog itself lives only while it is shown: its name
    // completion loads folders in the background and would otherwise show
    // its list again after the dialog has gone, over the window, where it
    // takes the next click.
    QString m_folder;
    QString m_fileName;
};
