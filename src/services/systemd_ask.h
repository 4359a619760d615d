#ifndef VRIX_SYSTEMD_ASK_H
#define VRIX_SYSTEMD_ASK_H

#include "services.h"

// What the placing by names cannot know, asked of systemd once per name,
// bounded: whether machined answers for a machine (else whether its
// systemd-nspawn@ unit exists), and whether a template's instance is one
// connection of a socket with Accept=yes.
void systemd_commands(thing *t);

#endif
