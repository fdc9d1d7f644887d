// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windowgone.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <cstring>

namespace {

// The parts of an X11 DestroyNotify event that matter here; the layout is
// fixed by the X protocol, so no X headers are needed for it.
constexpr std::uint8_t kDestroyNotify = 17;
constexpr std::size_t kWindowOffset = 8;

class DestroyWatch : public QAbstractNativeEventFilter {
public:
    explicit DestroyWatch(QWidget *window) : m_window(window) {}

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t" || !m_window)
            return false;
        const auto *bytes = static_cast<const std::uint8_t *>(message);
        if ((bytes[0] & 0x7f) != kDestroyNotify)
            return false;
        std::uint32_t destroyed = 0;
        std::memcpy(&destroyed, bytes + kWindowOffset, sizeof destroyed);
        if (destroyed == m_window->internalWinId())
            QCoreApplication::quit();
        return false;
    }

private:
    QPointer<QWidget> m_window;
};

}  // namespace

void quitWhenWindowDestroyed(QWidget *window)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    static DestroyWatch watch(window);
    QCoreApplication::instance()->installNativeEventFilter(&watch);
}
