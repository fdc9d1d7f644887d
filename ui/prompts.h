#pragma once

#include <QString>

class QWidget;

// Everything the window asks or tells the user goes through here, so that
// tests can script the answers.
class Prompts {
public:
    virtual ~Prompts() = default;
    // A message with an OK button; returns once the user has read it.
    virtual void tell(const QString &text) = 0;
};

// The real message boxes, parented to the window.
class WidgetPrompts : public Prompts {
public:
    explicit WidgetPrompts(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }
    void tell(const QString &text) override;

private:
    QWidget *m_window;
};
