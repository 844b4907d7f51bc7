// Filled in by the work in progress on the daemon.
