#pragma once

#include <QString>

#include <memory>

// The program's entry procedure: debug log, settings, the switchboard; then a call to
// `callAddress` in a new line window when one is given.
void Main(const QString& callAddress = {});

class HistoryStore;
// The conversation history for the program's run (null before Main and after the end).
std::unique_ptr<HistoryStore>& History();

// Publishes or withdraws this copy on the local network, as the switchboard's server, the
// nickname, the key and "Show me on the local network" now say.
void UpdateAnnouncement();
