// One update from one package file, with its bookkeeping.
#ifndef UPDATER_UPDATE_H
#define UPDATER_UPDATE_H

// Returns the result of exec_pk2, or -1 when an installed package's
// publication time could not be recorded (then no restart follows).
int updateFromPk2(const char *path);

#endif
