#pragma once

#include "common/Result.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The part of a task's metadata that decides its card style: the value under
// "tag". Every other key is ignored. Read only, never written.
struct BL_TaskTagMetadata
{
    std::optional<QString> tag; // absent when the key is missing or null

    // Fails when the bytes are not a JSON object or "tag" is not a text.
    static Result<BL_TaskTagMetadata> decode(const QByteArray &metadata);
};

// How a card shows a task's tag: the chip's label, a standard colour name and
// a symbol name. Plain data; the views map the names to what they draw.
struct BL_TaskStyleToken
{
    QString tagLabel;
    QString colorName; // "red", "blue", "green" or "gray"
    QString iconName;

    // The token for a tag. The tag is lower-cased and nothing else, so
    // " urgent" or an empty tag falls through to the "General" style; no tag
    // at all is the tag "default".
    static BL_TaskStyleToken forTag(const std::optional<QString> &tag);
    // The token for a task's metadata bytes; metadata that does not decode
    // gets the "General" style.
    static BL_TaskStyleToken forMetadata(const QByteArray &metadata);

    // The colour as "#RRGGBB" text (the standard colours on the dark
    // appearance); "#8E8E93" (gray) for a name the table does not know.
    QString colorHex() const;
    // The same as 0xAARRGGBB.
    quint32 colorRgba() const;

    friend bool operator==(const BL_TaskStyleToken &, const BL_TaskStyleToken &) = default;
};
