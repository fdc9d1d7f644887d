// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

void WidgetPrompts::tell(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Dravik Tavro"), text, QMessageBox::Ok, m_window);
    // A command it gives, such as the one that adds the user to a group,
    // can be copied from it.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

QString WidgetPrompts::qtFilter(const QString &filter)
{
    // "description|pattern": the description already names the pattern.
    return filter.section(u'|', 0, 0);
}

std::optional<QString> WidgetPrompts::choose(bool forSaving)
{
    // Where the platform offers a dialog of its own (GTK, a desktop portal),
    // Qt shows that one instead.
    QFileDialog dialog(m_window);
    dialog.setObjectName(QStringLiteral("CommonDialog1"));
    // The program asks its own question before it replaces a file.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilter(qtFilter(QLatin1String(kFilter)));
    dialog.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!m_folder.isEmpty())
        dialog.setDirectory(m_folder);
    if (!m_fileName.isEmpty())
        dialog.selectFile(m_fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        m_folder = dialog.directory().absolutePath();
        return std::nullopt;
    }
    const QString chosen = dialog.selectedFiles().constFirst();
    // However the name was given, the next use starts from it.
    const QFileInfo info(chosen);
    m_folder = info.absolutePath();
    m_fileName = info.fileName();
    return chosen;
}

std::optional<QString> WidgetPrompts::chooseFileToOpen() { return choose(false); }

std::optional<QString> WidgetPrompts::chooseFileToSave() { return choose(true); }

bool WidgetPrompts::confirmOverwrite(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Warning"), text, QMessageBox::Yes | QMessageBox::No, m_window);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}
