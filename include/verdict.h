#ifndef VRIX_VERDICT_H
#define VRIX_VERDICT_H

// The classification of one process; the values are fixed because they are
// compared and stored as small integers.
enum {
    VERDICT_NONE = 0,      // nothing to report
    VERDICT_ERROR = 1,     // "err"
    VERDICT_OUTDATED = 2,  // "outd"
    VERDICT_MISSING = 3,   // "miss"
};

// The table label of a reported verdict ("err", "outd", "miss").
const char *verdict_label(int verdict);

#endif
