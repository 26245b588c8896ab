// One update from one package file, with its bookkeeping.
#ifndef UPDATER_UPDATE_H
#define UPDATER_UPDATE_H

// Returns the result of exec_pk2 unchanged.
int updateFromPk2(const char *path);

#endif
