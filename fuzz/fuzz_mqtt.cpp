// SPDX-License-Identifier: GPL-3.0-or-later
// Any message a broker may hand the board's MQTT door: a topic, a payload
// and the retain flag, read and acted on by the door's handler over a real
// board with its stores. The first byte is the retain flag and whether the
// topic is one of the board's own (so that the commands behind it are
// reached); the rest is "TOPIC\nPAYLOAD". Nothing may crash, and every
// answer must be a result with a status, every refusal saying why.
#include "mqtt/handler.h"
#include "service/board.h"
#include "service/statefolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

struct Door {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<StateFolder> state;
    std::unique_ptr<Board> board;
    std::unique_ptr<mqtt::Handler> handler;
    mqtt::Topics topics{QStringLiteral("shop"), {QStringLiteral("north")}};
};

void check(const mqtt::Handler::Answer &answer)
{
    const mqtt::Result &r = answer.result;
    if (r.status.isEmpty() || (r.status == QLatin1String("refused") && r.error.isEmpty()))
        std::abort();
}

Door &door()
{
    static Door d = [] {
        Door made;
        static int argc = 1;
        static char name[] = "fuzz_mqtt";
        static char *argv[] = {name, nullptr};
        made.app = std::make_unique<QCoreApplication>(argc, argv);
        // Each save is synced: in memory, that costs nothing.
        made.folder = std::make_unique<QTemporaryDir>(
            QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fuzz_mqtt-XXXXXX") : QString());
        made.state = std::make_unique<StateFolder>(made.folder->path());
        if (!made.state->open())
            std::abort();
        made.board = std::make_unique<Board>(*made.state, [] { return QStringList(); });
        if (QString why; !made.board->open(&why))
            std::abort();
        // A send gets as far as the device, which is not there.
        made.board->setDevice(made.folder->path() + QStringLiteral("/no-such-device"));
        made.handler = std::make_unique<mqtt::Handler>(*made.board, made.topics, QStringLiteral("mqtt"),
                                                       QStringLiteral("broker"), check);
        made.handler->open();
        return made;
    }();
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    Door &d = door();
    const std::uint8_t flags = data[0];
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype end = text.indexOf('\n');
    QString topic = QString::fromUtf8(end < 0 ? text : text.left(end));
    const QByteArray payload = end < 0 ? QByteArray() : text.mid(end + 1);
    if (flags & 2)
        topic = d.topics.base() + topic;
    d.handler->take(topic, payload, flags & 1, {});
    return 0;
}
