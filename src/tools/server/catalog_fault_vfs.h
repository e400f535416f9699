// catalog_fault_vfs.h - a thin SQLite file layer that lets the platform's
// fault switch fail the catalog's opens, reads, writes and syncs, so that a
// test can make a catalog commit fail the way a full or broken disk would.
#pragma once

// Makes the checking layer SQLite's default for databases opened from now on
// (once per process; later calls do nothing). Does nothing at all when the
// fault switch is not compiled in.
void catalog_fault_vfs_register();
