// Resource and control ids of kvxlogplus.exe, shared by the resource script and the code.
// Plain macros: the resource compiler reads this file too.
#pragma once

#define IDC_STATIC (-1)
#define IDD_MAIN 102
#define IDD_INFOBOX 134
#define IDD_MEMDEBUG 142
#define IDI_PROGRAM 128
#define IDB_CHECKS 140

// Main dialog 102.
#define IDC_VERSION 1010
#define IDC_PORT_COMBO 1057
#define IDC_CUSTOM_PORT 1050
#define IDC_FILTER_PATH 1005
#define IDC_BROWSE_FILTER 1003
#define IDC_LOG_PATH 1006
#define IDC_BROWSE_LOG 1007
#define IDC_MULTIPLE_FILES 1017
#define IDC_LIMIT_LABEL 1022
#define IDC_LIMIT 1016
#define IDC_UNIT_MB 1020
#define IDC_UNIT_MINUTES 1021
#define IDC_SHOW_INFO 1043
#define IDC_SHOW_CDMA 1047
#define IDC_STOP 1002
#define IDC_FILTER_SOURCE_GROUP 1056
#define IDC_SOURCE_FILE 1037
#define IDC_SOURCE_GUI 1038
#define IDC_SAVE_FILTERS 1004
#define IDC_LOAD_FILTERS 1041
#define IDC_LOG_ITEM_MASK 1053
#define IDC_EVENT_MASK 1052
#define IDC_MESSAGE_MASK 1051
#define IDC_NV_ITEMS 1054
#define IDC_EXPORT 1055
#define IDC_LOG_TREE 1036
#define IDC_EVENT_TREE 1024
#define IDC_MESSAGE_TREE 1023
#define IDC_NV_TREE 1039
#define IDC_RAW_BOX 1058
#define IDC_RAW_PATH 1059
#define IDC_RAW_BROWSE 1060
#define IDC_MEMDEBUG 1069

// Info Box 134: the field edits, in field order 0-16.
#define IDC_INFO_FIRMWARE 1040
#define IDC_INFO_BUILD_DATE 1064
#define IDC_INFO_IMEI 1041
#define IDC_INFO_IMSI 1043
#define IDC_INFO_LAI 1044
#define IDC_INFO_CELL 1048
#define IDC_INFO_CALL 1056
#define IDC_INFO_OPER 1057
#define IDC_INFO_SYSMODE 1058
#define IDC_INFO_BAND 1062
#define IDC_INFO_ARFCN 1050
#define IDC_INFO_RXPOWER 1052
#define IDC_INFO_TXLEVEL 1054
#define IDC_INFO_TA 1068
#define IDC_INFO_DTX 1070
#define IDC_INFO_DLSC 1072
#define IDC_INFO_RLT 1080

// Memory-dump dialog 142.
#define IDC_MD_SPECIFY_PORT 1061
#define IDC_MD_PORT 1062
#define IDC_MD_RESET 1063
#define IDC_MD_REGIONS 1064
#define IDC_MD_STATE 1065
#define IDC_MD_PROGRESS 1066
#define IDC_MD_INSTRUCTIONS 1067
