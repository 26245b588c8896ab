// Updating from the local storage partitions: each SD card or USB disk
// partition found is mounted, its package installed, and its file system
// checked when its ".recording" marker says it was left unclean.
#ifndef UPDATER_PARTITION_H
#define UPDATER_PARTITION_H

// Set only by unit tests, to see a directory tree of their own as the
// root of the device paths; empty on the device.
extern const char *partition_dev_root;

// Handles every partition found; returns how many, whatever each outcome.
int CheckLocalPartitions(void);

// Mounts device, installs its package, checks its marker and repairs it.
// -1: the mount failed; 5 (EIO): the marker could not be read; 0: clean,
// or no marker; otherwise the status of the clean-up command.
int handleLocalPartition(const char *device);

#endif
