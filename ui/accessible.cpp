// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/accessible.h"

#include "ui/tavro.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>

namespace {

class AccessibleLevelOption : public QAccessibleWidget {
public:
    explicit AccessibleLevelOption(LevelOption *option) : QAccessibleWidget(option, QAccessible::RadioButton) {}

    LevelOption *option() const { return static_cast<LevelOption *>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && option()->accessibleName().isEmpty())
            return option()->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = option()->isChecked();
        return s;
    }
    QStringList actionNames() const override { return QStringList{pressAction()} << QAccessibleWidget::actionNames(); }
    void doAction(const QString &name) override
    {
        if (name == pressAction())
            option()->click();
        else
            QAccessibleWidget::doAction(name);
    }
};

class AccessiblePortSelector : public QAccessibleWidget {
public:
    explicit AccessiblePortSelector(QComboBox *combo) : QAccessibleWidget(combo, QAccessible::ComboBox) {}

    QComboBox *combo() const { return static_cast<QComboBox *>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return combo()->currentText();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(combo()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == combo()->view() ? 0 : -1;
    }
    QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} << QAccessibleWidget::actionNames();
    }
    void doAction(const QString &name) override
    {
        if (name == showMenuAction() || name == pressAction())
            combo()->showPopup();
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("LevelOption"))
        return new AccessibleLevelOption(static_cast<LevelOption *>(object));
    if (className == QLatin1String("QComboBox") && object->objectName() == QLatin1String("Combo1"))
        return new AccessiblePortSelector(static_cast<QComboBox *>(object));
    return nullptr;
}

}  // namespace

void installAccessibleInterfaces() { QAccessible::installFactory(factory); }
