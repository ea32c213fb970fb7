// Internal to the signal library: state shared by its two modules.
#pragma once

const char *Sig_ProcName();
