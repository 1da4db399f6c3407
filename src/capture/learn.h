#pragma once

#include <cstdint>
#include <string>

#include "capture/recording.h"

// Learning a device from a recording: a scenario (JSON, as scenario::ParseScenario reads it)
// whose rules answer each message the recorded device received as it answered it.
//
// Messages of one type whose texts differ only in runs of digits are one rule, matched by an
// expression with those runs as captures; an answer's digit runs that always equal one of the
// message's become that capture ("T=21" -> "OK 21": "OK $1"), other digits stay as recorded
// (the most frequent answer). Where the same message was answered differently over time, the
// rule gives the answers in turn ("nth"), the last one from then on. The answer delay is the
// median of the recorded ones, given as the reply's delay fault when it is 1 ms or more; an
// answer with NAK, with another type or with a bad block check is given with that action; a
// message mostly left unanswered is left unanswered.
struct LearnOptions {
    // Which side was the device: Rx, the other side of the link (the simulator asked, it
    // answered), or Tx, the simulator itself (the other side asked).
    Direction device = Direction::Rx;
    std::string name;  // the scenario's; "learned from <file>" when empty
    int maxTurns = 16;  // answers given in turn per rule before the last one stands for the rest
};

struct Learned {
    std::string json;         // the scenario, pretty-printed
    std::size_t rules = 0;
    std::size_t messages = 0;  // messages of the other side it learned from
    std::size_t unanswered = 0;
    bool stateful = false;     // some answers changed over time (rules with "nth")
    // The same device as a reply table, as the settings file's [Reply] section, when a table
    // can stand for it: every message of a type answered alike whatever its text, no answer
    // changing over time, at most as many types as the table has rows. Empty otherwise, with
    // `noTable` saying why.
    std::string table;
    std::string noTable;
};

// RecordingError when the recording holds no message the device answered.
Learned LearnScenario(const Recording& recording, const LearnOptions& options = {});
