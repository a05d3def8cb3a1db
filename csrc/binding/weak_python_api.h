/* Forced into every source of the module, before anything else.
 *
 * Each build runs on the one CPython version it was built for (3.9 to 3.13),
 * and its entry refuses any other version with an ImportError. For that
 * check to run at all, the dynamic loader must first accept the file: the C
 * API functions below are new in 3.9, and a strong reference to one of them
 * makes an older interpreter's loader refuse the file with an
 * undefined-symbol error. Weak references resolve to null where the function
 * is missing; nothing calls them before the version check has passed. */
#pragma once
#include <Python.h>

#pragma weak PyCMethod_New
#pragma weak PyFrame_GetBack
#pragma weak PyFrame_GetCode
