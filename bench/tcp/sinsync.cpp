// sinsync.cpp - libzeltasinsync, a test-only preload library for bench-tcp:
// fsync, fdatasync and syncfs return 0 at once and reach no disk. A client
// run under it (LD_PRELOAD) does everything else its normal run does, so the
// difference between the two is what the client's syncs cost. Nothing that
// ships loads it, and the client has no option that does the same.
//
// The declarations are ours, not <unistd.h>'s: only the symbol names matter
// to the dynamic linker.
extern "C" {
int fsync(int fd);
int fdatasync(int fd);
int syncfs(int fd);

int fsync(int) { return 0; }
int fdatasync(int) { return 0; }
int syncfs(int) { return 0; }
}
