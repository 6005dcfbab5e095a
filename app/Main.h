#pragma once

// The program's entry procedure: debug log, settings, the switchboard.
void Main();
