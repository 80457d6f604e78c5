#pragma once

// Peer frames: a u32 little-endian body length and the body. On a scrambled connection every
// frame travels behind a fresh 4-byte key sent in clear, and the length and body bytes are XORed
// with that key, rotated left by one bit before each 4-byte group.

#include <QByteArray>
#include <QObject>
#include <QtGlobal>

#include <string>

class QIODevice;

// Bodies above this are refused before anything is allocated for them.
constexpr quint32 kMaxPeerFrameLength = 10485760;
// The one exception: a share list (code 5) from a user we asked for it may be this long. A share
// of a million files compresses to more than 10 MiB; the cap is what a list may inflate to.
constexpr quint32 kMaxShareListFrameLength = 256 * 1024 * 1024;
// The activity time of a messaging connection is refreshed each time a long frame crosses a
// multiple of this many collected bytes.
constexpr qsizetype kActivityStep = 102400;

inline quint32 BitRotateLeft(quint32 k)
{
    return (k << 1) | (k >> 31);
}

// XORs n bytes of in into out (they may be the same buffer). The key is rotated once before
// every 4-byte group, so byte j uses the key rotated 1 + j/4 times from the one passed.
void ScrambleBytes(const char* in, char* out, qsizetype n, quint32 key);

// A whole frame (length field and body) -> the clear key followed by the scrambled frame.
QByteArray Obfuscate(const QByteArray& frame, quint32 key);
// The body of a scrambled frame; key is the frame's key already rotated once (for the length).
QByteArray Deobfuscate(const char* body, qsizetype n, quint32 key);
inline QByteArray Deobfuscate(const QByteArray& body, quint32 key)
{
    return Deobfuscate(body.constData(), body.size(), key);
}

// Length field plus body.
QByteArray BuildFrame(const char* body, qsizetype n);
inline QByteArray BuildFrame(const QByteArray& body)
{
    return BuildFrame(body.constData(), body.size());
}

// First frame of a dialled connection: u8 1, own user name, connection type, u32 0.
QByteArray InitFrameBody(const std::string& user, const std::string& type);
// First frame answering a relayed request: u8 0, u32 token.
QByteArray PierceFrameBody(quint32 token);

// What the dialling side said in its first frame.
struct FirstFrame
{
    enum Kind
    {
        Bad,
        Init,
        Pierce
    };
    Kind kind = Bad;
    // Which field failed, for the log: the direction byte or what follows it.
    bool directionRead = false;
    std::string user;
    std::string type;
    quint32 token = 0;
};
FirstFrame ParseFirstFrame(const QByteArray& body);

// The longest body a frame may carry once its message code is known. shareListAsked: the
// frame comes on a messaging connection from a user whose share list we asked for.
quint32 MaxFrameLength(quint32 code, bool shareListAsked);

// Receive state of one peer socket.
struct SocketBufferInfo
{
    bool m_headerRead = false;
    quint32 m_length = 0;
    // The current frame's length was weighed against its message code (a frame within
    // kMaxPeerFrameLength needs no code to be taken).
    bool m_lengthAccepted = false;
    bool m_expectFileToken = false;
    bool m_handedOff = false;
    // A share list of this connection is being read elsewhere: the frames after it wait.
    bool m_paused = false;
    std::string m_user;
    QByteArray m_buffer;
    bool m_isObfuscated = false;
    quint32 m_key = 0;
};

// Holds a socket's receive state as a child of that socket, so the state cannot outlive it nor
// be found by another socket that later gets the same address.
class SocketReceiveState : public QObject
{
    Q_OBJECT
public:
    explicit SocketReceiveState(QObject* socket) : QObject(socket) {}
    SocketBufferInfo info;
};

// One step of reading a socket's frames.
enum class FrameEvent
{
    NeedMore,  // everything ready has been consumed, or too little for a header or token
    Frame,     // *body holds one complete (descrambled) body
    FileToken, // *token holds the raw 4-byte transfer token
    TooLong,   // the announced length is above what MaxFrameLength allows
};

// Reads what dev has ready into st until one event is complete. *activity is set when the
// bytes collected of the current frame crossed a multiple of kActivityStep. The body buffer
// grows with the bytes that actually arrive, never to the announced length up front. A length
// above kMaxPeerFrameLength is decided on as soon as the body's first four bytes (the message
// code) are in, before any more of it is taken; shareListAsked is as for MaxFrameLength.
FrameEvent ReadFrame(QIODevice& dev, SocketBufferInfo& st, QByteArray* body, quint32* token,
                     bool* activity, bool shareListAsked = false);
