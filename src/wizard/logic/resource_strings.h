// The wizard's numbered texts: window and step titles, button captions and the
// closing text. Controls carry the number of their text as a tag, so a
// translation only has to replace this table.
#pragma once

#include <string>
#include <string_view>

namespace pelvane::wizard {

// Numbers of the texts that the window loads by tag.
namespace res {
inline constexpr int kHelp = 100;
inline constexpr int kCancel = 101;
inline constexpr int kBack = 102;
inline constexpr int kNext = 103;
inline constexpr int kExit = 104;
inline constexpr int kSelectTitle = 500;
inline constexpr int kIntroductionTitle = 1000;
inline constexpr int kSettingsTitle = 2000;
inline constexpr int kUploadTitle = 2002;
inline constexpr int kFinishedTitle = 3000;
inline constexpr int kFinishedText = 3001;
}  // namespace res

// The text stored under `id` as it stands; empty for a number without text.
std::string_view ResourceString(int id);

// True when the table holds a text for `id`.
bool HasResourceString(int id);

// The text of `id` with continuation: a text ending in "_" is a first part;
// the "_" is dropped and the text of the next number follows, and so on until
// a text without the mark. A chain that runs into a missing number stops
// there, so a broken table shows what it has instead of looping.
std::string LoadResString(int id);

// A tag holds a resource number when it is a decimal number without sign or
// blanks; anything else (an empty tag, a name) is no number.
bool ParseResourceTag(std::string_view tag, int* id);

}  // namespace pelvane::wizard
