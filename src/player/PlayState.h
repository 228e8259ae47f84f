#pragma once
#include <QObject>

namespace castora {
namespace play {
Q_NAMESPACE

// The player's states, numbered as the media control that the program was first built on numbered them.
enum class PlayState : int {
    Undefined = 0,
    Stopped = 1,
    Paused = 2,
    Playing = 3,
    ScanForward = 4,
    ScanReverse = 5,
    Buffering = 6,
    Waiting = 7,
    MediaEnded = 8,
    Connecting = 9,
    Ready = 10,
    Reconnecting = 11,
    Last = 12,
};
Q_ENUM_NS(PlayState)

}  // namespace play

using play::PlayState;

}  // namespace castora
