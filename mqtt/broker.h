// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// How the board and its broker are named, where the command line judges
// them as well as the client: no protocol library in it.
namespace mqtt {

// Whether `text` may name a board or a group: one level of a topic, with
// no wildcard or separator that would reach another board's, and in the
// letters that Home Assistant's ids and a shell take as they are.
bool isName(const QString &text);
// The same, in words.
inline constexpr const char *kNameRule = R"(a name of letters, digits, "-", "_" and ".", up to 64)";

// What is wrong with `id` as a board's name, in words after "--mqtt-id
// ID: "; empty where nothing is. "group" is the groups' level of the
// topics, pelorin/group/NAME/send, which a board of that name would share.
QString boardIdMistake(const QString &id);

struct Broker {
    bool tls = false;
    QString host;
    quint16 port = 0;
};
// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty, and `why`, otherwise.
std::optional<Broker> brokerOf(const QString &url, QString *why);

}  // namespace mqtt
