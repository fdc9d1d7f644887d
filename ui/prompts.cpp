#include "ui/prompts.h"

#include <QMessageBox>

void WidgetPrompts::tell(const QString &text)
{
    QMessageBox::warning(m_window, QStringLiteral("Dravik Tavro"), text);
}
