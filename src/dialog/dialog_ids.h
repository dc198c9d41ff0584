/* Control IDs of the configuration dialog, shared by the resource script
   and the dialog procedures (so plain defines: windres reads this too). */
#pragma once

#define IDC_SAVE           1000
#define IDC_SHOW_HELP           1001
#define IDC_ADDRESSES      1002
#define IDC_POLL_TIME      1003
#define IDC_RETRY          1004
#define IDC_SUSPEND        1005
#define IDC_ALIAS          1006
#define IDC_NEW_HOST       1007
#define IDC_HOSTS          1008
#define IDC_ADD_HOST       1009
#define IDC_REMOVE_HOST    1010
#define IDC_NEW_DRIVE      1011
#define IDC_DRIVES         1012
#define IDC_FREE_DISK      1013
#define IDC_ADD_DRIVE      1014
#define IDC_REMOVE_DRIVE   1015
#define IDC_SUSPEND_MERCS  1016
#define IDC_SUSPEND_MERCD  1017
#define IDC_CRITICAL_DISK  1018
#define IDC_MEMORY_LIMIT   1019
