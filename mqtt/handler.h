// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/commands.h"
#include "mqtt/ledger.h"

#include <functional>
#include <optional>

struct Board;

// What the MQTT door does with a command, over the same board as the page:
// the same operations, validation, refusals and log entries. It knows no
// protocol library; the door hands it topics and payloads, and publishes
// what it answers, so that a test or a fuzzer can drive it alone.
namespace mqtt {

class Handler {
public:
    struct Answer {
        Result result;
        ReplyTo replyTo;
    };
    using Publish = std::function<void(const Answer &)>;

    // `who` as the log names the door and its broker account ("mqtt:central");
    // `address` where the commands came from (the broker).
    Handler(Board &board, Topics topics, QString who, QString address, Publish publish);

    // Reads the ids answered before, kept in the state folder.
    void open();
    // One message on the board's command topics, whatever it holds.
    void take(const QString &topic, const QByteArray &payload, bool retained, const ReplyTo &replyTo);
    // The board's upload has ended: the command that started it, if one did,
    // is told how.
    void uploadEnded();
    // The set a press of Home Assistant's Send button sends; empty while
    // none is chosen, or the one chosen is no longer stored.
    QString selected() const;
    // Told when a set is chosen.
    void onSelected(std::function<void()> follower) { m_onSelected = std::move(follower); }
    // The ids of commands that did something are written before the answer
    // goes; those only refused may wait, where `soon` is given: it is told
    // that some do, and is to have saveIds() called a little later. A flood
    // of refused commands then costs the board one write now and then,
    // rather than one each, which would hold its characters up.
    void onIdsToSave(std::function<void()> soon) { m_saveSoon = std::move(soon); }
    void saveIds();
    bool idsUnsaved() const { return m_idsUnsaved; }

    static constexpr const char *kIdsFile = "mqtt-ids.json";
    static constexpr const char *kSelectedFile = "mqtt-selected.json";

private:
    Result act(const Command &command);
    void select(const QString &set, const ReplyTo &replyTo);
    // Whether every command acted on lately is known: not where the record
    // of them could not be read and its copy is kept for the owner.
    bool idsKnown() const;
    // Answers a command whose id was answered before with that first answer.
    void duplicate(Result first, const ReplyTo &replyTo);
    void answer(const Result &result, const ReplyTo &replyTo);

    Board &m_board;
    Topics m_topics;
    QString m_who, m_address;
    Publish m_publish;
    SeenIds m_seen;
    QString m_selected;
    std::function<void()> m_onSelected;
    std::function<void()> m_saveSoon;
    bool m_idsUnsaved = false;
    struct Running {
        QString id, set;
        ReplyTo replyTo;
    };
    std::optional<Running> m_running;  // the send a command started, until it ends
};

}  // namespace mqtt
