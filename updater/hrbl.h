#pragma once

// Types shared by the updater's file log.
namespace HRBL {

// Higher is more routine: the normal course of events is logged at 1000,
// failures at 10.
enum LogMessagePriorityType : int {
    PriorityCritical = 10,
    PriorityWarning = 100,
    PriorityInfo = 1000,
};

// Streamed into a Logger, closes the entry being built.
enum LogStreamManipType : int {
    EndEntry = 0,
};

}
