#pragma once

#include "ui/prompts.h"

#include <QStringList>

// Prompts that record what the window tells the user.
class ScriptedPrompts : public Prompts {
public:
    void tell(const QString &text) override { told << text; }

    QStringList told;
};
