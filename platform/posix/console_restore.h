// console_restore.h - puts the terminal back as the operator had it.
#pragma once

void RestoreConsoleInput();
