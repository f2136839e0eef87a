/* String IDs of the framework's own texts. The program's string table carries
   them (in Korean only); the framework's exceptions load them to describe
   themselves. Plain #defines, so that the resource compiler reads them too. */
#ifndef ZELVRA_FRAMEWORK_AFXRES_H
#define ZELVRA_FRAMEWORK_AFXRES_H

#define AFX_IDS_UNNAMED_FILE 61446        /* stands for an empty file name */
#define AFX_IDP_COMMAND_FAILURE 61473     /* an operation that is not supported */
#define AFX_IDP_FAILED_TO_CREATE 61474    /* a resource that is not available */
#define AFX_IDP_FAILED_MEMORY_ALLOC 61475 /* out of memory */
#define AFX_IDP_INTERNAL_FAILURE 61476    /* an unknown error */
#define AFX_IDP_FILE_NONE 61856           /* first of the file-error texts, one per cause (0 to 14) */
#define AFX_IDP_FILE_LAST 61870

#define ID_HELP 57670 /* the framework's Help command */

#endif
