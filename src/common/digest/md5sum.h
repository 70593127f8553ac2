// The file and buffer digests live with the MD5 core.
#ifndef ORNIX_MD5SUM_H
#define ORNIX_MD5SUM_H
#include "md5.h"
#endif
