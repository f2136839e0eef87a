/* Resource IDs of the installer: string table, dialogs, controls, icon.
   Plain #defines, read by the resource compiler and by the C++ code. */
#ifndef ZELVRA_RES_RESOURCE_H
#define ZELVRA_RES_RESOURCE_H

/* The installer's version: the version block's numbers, and as the log
   writes it */
#define ZELVRA_FILE_VERSION 3, 1, 0, 3
#define ZELVRA_VERSION_TEXT "3.1.0.3"

/* Dialog templates */
#define IDD_INSTALLER_DIALOG 102 /* the install prompt */
#define IDD_DOWNLOAD_DIALOG 130  /* the download progress dialog */

/* Icon group */
#define IDR_MAINFRAME 128

/* Controls of the install prompt */
#define IDC_STATIC_ONLINE 1002   /* "you must be on-line" */
#define IDC_STATIC_QUESTION 1003 /* "continue installation?" */
#define IDC_BUTTON_CLOSE 1004    /* Close, shown once the hand-off is done */
#define IDC_STATIC_DONE 1005     /* "Download complete." */
#define IDC_STATIC_HINT 1006     /* anti-virus hint */

/* Controls of the download dialog */
#define IDC_PROGRESS 1001

/* Strings the program loads */
#define IDS_CANCEL_QUESTION 1            /* "Do you want to cancel installation?" */
#define IDS_APP_TITLE 57344              /* application title: box titles, user agent */
#define IDS_RUN_UPDATER_FAILED 57349     /* starting the downloaded launcher failed */
#define IDS_DOWNLOAD_FAILED 57353        /* a download failed */
#define IDS_DEV_URL_UPDATER 57354        /* development host: ZVUpdater.exe */
#define IDS_DEV_URL_UPDATER_RES 57355    /* development host: ZVUpdaterRes.dll */
#define IDS_DEV_URL_LAUNCHER 57356       /* development host: ZVCallUpdater.exe */
#define IDS_PRIMARY_BASE 57357           /* primary host, product folder */
#define IDS_SECONDARY_BASE 57358         /* secondary host, product folder */
#define IDS_DOWNLOAD_COMPLETE 57360      /* "Download complete." */
#define IDS_MUST_BE_ONLINE 57361         /* text of control 1002 */
#define IDS_CONTINUE_QUESTION 57362      /* text of control 1003 */
#define IDS_PRIMARY_EDITION_BASE 57367   /* primary host, edition folder */
#define IDS_SECONDARY_EDITION_BASE 57368 /* secondary host, edition folder (spelling differs by language) */
#define IDS_UPDATE_NOT_VERIFIED 57375    /* the downloaded files failed the signature check */

#endif
