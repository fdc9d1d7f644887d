#include "ui/prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

WidgetPrompts::~WidgetPrompts() { delete m_dialog; }

void WidgetPrompts::tell(const QString &text) { QMessageBox::warning(m_window, QStringLiteral("Dravik Tavro"), text); }

QString WidgetPrompts::qtFilter(const QString &filter)
{
    // "description|pattern": the description already names the pattern.
    return filter.section(u'|', 0, 0);
}

QFileDialog *WidgetPrompts::dialog()
{
    if (!m_dialog) {
        m_dialog = new QFileDialog(m_window);
        m_dialog->setObjectName(QStringLiteral("CommonDialog1"));
        // The program asks its own question before it replaces a file.
        m_dialog->setOption(QFileDialog::DontConfirmOverwrite);
    }
    return m_dialog;
}

std::optional<QString> WidgetPrompts::choose(bool forSaving)
{
    QFileDialog *d = dialog();
    d->setNameFilter(qtFilter(QLatin1String(kFilter)));
    d->setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    d->setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (d->exec() != QDialog::Accepted || d->selectedFiles().isEmpty())
        return std::nullopt;
    const QString chosen = d->selectedFiles().constFirst();
    // However the name was given, the next use starts from it.
    const QFileInfo info(chosen);
    d->setDirectory(info.absolutePath());
    d->selectFile(info.fileName());
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
