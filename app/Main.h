#pragma once

#include <memory>

// The program's entry procedure: debug log, settings, the switchboard.
void Main();

class HistoryStore;
// The conversation history for the program's run (null before Main and after the end).
std::unique_ptr<HistoryStore>& History();
