#pragma once
// Recognising emoji in text: one composed character sequence at a time, and the test for a
// body of one to three emoji that is drawn large. Any thread; no state.

#include <QString>

namespace EMOEmoji {

// Whether one composed character sequence (as QTextBoundaryFinder cuts text into
// graphemes) is an emoji.
bool isEmojiSequence(QStringView sequence);

} // namespace EMOEmoji

// One to three composed character sequences, every one of them an emoji.
bool emo_isPureEmojiString(const QString &text);
