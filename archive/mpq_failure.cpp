#include "archive/mpq_failure.h"

const char* MpqFailureText(MpqFailure failure) {
    switch (failure) {
    case MpqFailure::None:
        return "ok";
    case MpqFailure::NoArchive:
        return "no archive";
    case MpqFailure::Malformed:
        return "malformed";
    case MpqFailure::NotFound:
        return "not found";
    case MpqFailure::BadArgument:
        return "bad argument";
    case MpqFailure::Locked:
        return "locked";
    case MpqFailure::PendingRecovery:
        return "pending recovery";
    case MpqFailure::ForeignFile:
        return "foreign recovery file";
    case MpqFailure::Linked:
        return "hard-linked";
    case MpqFailure::NotWritable:
        return "not writable";
    case MpqFailure::DiskFull:
        return "disk full";
    case MpqFailure::WorkerDied:
        return "worker died";
    case MpqFailure::EngineFailed:
        return "engine failed";
    case MpqFailure::TooLarge:
        return "too large";
    case MpqFailure::DiskFile:
        return "disk file unusable";
    }
    return "failed";
}
