// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/calls.h"

// The board's handlers, by resource, each in a file of its own. Each is
// handed a call that the gate has judged; it validates what the call asks
// for, works the stores, and answers once.
namespace api {

// api_signin.cpp: the page itself, claiming the computer, signing in and
// out, one's own password.
void page(Board &board, const Call &call, const Answer &answer);
void setupState(Board &board, const Call &call, const Answer &answer);
void setup(Board &board, const Call &call, const Answer &answer);
void login(Board &board, const Call &call, const Answer &answer);
void session(Board &board, const Call &call, const Answer &answer);
void logout(Board &board, const Call &call, const Answer &answer);
void changePassword(Board &board, const Call &call, const Answer &answer);

// api_sets.cpp
void listSets(Board &board, const Call &call, const Answer &answer);
void getSet(Board &board, const Call &call, const Answer &answer);
void putSet(Board &board, const Call &call, const Answer &answer);
void deleteSet(Board &board, const Call &call, const Answer &answer);

// api_uploads.cpp: the upload, and the board's port.
void status(Board &board, const Call &call, const Answer &answer);
void send(Board &board, const Call &call, const Answer &answer);
void stop(Board &board, const Call &call, const Answer &answer);
void ports(Board &board, const Call &call, const Answer &answer);
void getBoard(Board &board, const Call &call, const Answer &answer);
void putBoard(Board &board, const Call &call, const Answer &answer);

// api_accounts.cpp: accounts, signed-in devices, the log, and putting
// things right after a reset of the owner's password.
void listAccounts(Board &board, const Call &call, const Answer &answer);
void addAccount(Board &board, const Call &call, const Answer &answer);
void removeAccount(Board &board, const Call &call, const Answer &answer);
void resetPassword(Board &board, const Call &call, const Answer &answer);
void listDevices(Board &board, const Call &call, const Answer &answer);
void signOutDevice(Board &board, const Call &call, const Answer &answer);
void readLog(Board &board, const Call &call, const Answer &answer);
void review(Board &board, const Call &call, const Answer &answer);
void recover(Board &board, const Call &call, const Answer &answer);

// api_keys.cpp
void listKeys(Board &board, const Call &call, const Answer &answer);
void makeKey(Board &board, const Call &call, const Answer &answer);
void revokeKey(Board &board, const Call &call, const Answer &answer);

// api_schedule.cpp
void getSchedule(Board &board, const Call &call, const Answer &answer);
void putSchedule(Board &board, const Call &call, const Answer &answer);

}  // namespace api
