#include "peer/PeerMessenger.h"

// The one table of peer message names, for the log.
QString PeerMessenger::MessageCodeToString(int code)
{
    switch (code) {
    case 1:
        return QStringLiteral("PM_SAY");
    case 4:
        return QStringLiteral("PM_GET_SHARED_FILE_LIST");
    case 5:
        return QStringLiteral("PM_SHARED_FILE_LIST");
    case 8:
        return QStringLiteral("PM_FILE_SEARCH_REQUEST");
    case 9:
        return QStringLiteral("PM_FILE_SEARCH_RESULT");
    case 10:
        return QStringLiteral("PM_INVITE_USER_TO_ROOM");
    case 14:
        return QStringLiteral("PM_CANCELLED_QUEUED_TRANSFER");
    case 15:
        return QStringLiteral("PM_USER_INFO_REQUEST");
    case 16:
        return QStringLiteral("PM_USER_INFO_REPLY");
    case 33:
        return QStringLiteral("PM_SEND_CONNECT_TOKEN");
    case 34:
        return QStringLiteral("PM_MOVE_DOWNLOAD_TO_TOP");
    case 36:
        return QStringLiteral("PM_GET_SHARED_FILES_IN_FOLDER");
    case 37:
        return QStringLiteral("PM_SHARED_FILES_IN_FOLDER");
    case 40:
        return QStringLiteral("PM_TRANSFER_REQUEST");
    case 41:
        return QStringLiteral("PM_TRANSFER_RESPONSE");
    case 42:
        return QStringLiteral("PM_PLACEHOLD_UPLOAD");
    case 43:
        return QStringLiteral("PM_QUEUE_UPLOAD");
    case 44:
        return QStringLiteral("PM_UPLOAD_PLACE_IN_LINE");
    case 46:
        return QStringLiteral("PM_UPLOAD_FAILED");
    case 47:
        return QStringLiteral("PM_EXACT_FILE_SEARCH_REQUEST");
    case 48:
        return QStringLiteral("PM_QUEUED_DOWNLOADS");
    case 49:
        return QStringLiteral("PM_INDIRECT_FILE_SEARCH_REQUEST");
    case 50:
        return QStringLiteral("PM_UPLOAD_DENIED");
    case 51:
        return QStringLiteral("PM_UPLOAD_PLACE_IN_LINE_REQUEST");
    case 52:
        return QStringLiteral("PM_NOTHING");
    default:
        return QStringLiteral("%1 (unknown)").arg(code);
    }
}
