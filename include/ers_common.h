// ers_common.h - records and time-stamp lists of the recording server.
#ifndef ERS_COMMON_H
#define ERS_COMMON_H

#endif  // ERS_COMMON_H
