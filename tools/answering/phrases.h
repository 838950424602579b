// What the answering machine says, as text for the speech synthesizer.
// Numbers are written as digits and times as "2:05 AM": the synthesizer
// reads them as words.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace callctl {

// "You have 2 new messages and 1 saved message."
std::string countPhrase(size_t newCount, size_t savedCount);
// "Message 1, received today at 2:05 AM." ("yesterday", or the weekday
// and date when older); `now` is the listener's present, both local time.
std::string messageIntro(size_t number, const std::tm& received, const std::tm& now);
// "2:05 AM", "2 PM", "12 noon", "midnight".
std::string spokenTime(const std::tm& t);

namespace phrase {
inline constexpr const char* greeting =
    "Hello. Nobody can take your call right now. Please leave a message after the tone.";
inline constexpr const char* thanks = "Thank you for your message. Goodbye.";
inline constexpr const char* goodbye = "Goodbye.";
inline constexpr const char* wrongCode = "That code is not right. Please try again.";
inline constexpr const char* wrongCodeLast = "That code is not right. Goodbye.";
inline constexpr const char* deleted = "Message deleted.";
inline constexpr const char* saved = "Message saved.";
inline constexpr const char* noMessage = "There is no message to do that with.";
inline constexpr const char* endOfMessages =
    "No more new messages. Press 2 to hear the last one again, 0 for help, or the hash key to end.";
inline constexpr const char* help = "Press 1 for the next message, 2 to hear a message again, 3 to delete it, "
                                    "4 to save it, 0 for this help, and the hash key to end the call.";
} // namespace phrase

} // namespace callctl
