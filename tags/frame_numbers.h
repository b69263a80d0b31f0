// The number a frame carries in the form body, from its four-character id:
// id3lib's own frame numbering, so that a frame read by either reader gets
// the number id3lib gives it.
#pragma once

// id3lib's number for the frame id (four characters, not terminated), or 0
// for an id id3lib has no constant for.
int frameNumber(const char* id);
