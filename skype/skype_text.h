// Checks of the texts that go from outside into the commands sent to the
// messaging client, and the reading of the numbers in its lists. A Skype ID
// or an application name is put between blanks in a command and read back
// from the client's replies by the tokenizer: one that holds a separator
// would break the command or its parsing (an ID "bob WRITE ..." would add a
// command of its own).
#pragma once

#include <cstddef>
#include <string_view>

// The most bytes of a Skype ID (a contact's handle field holds that many).
constexpr std::size_t SKYPE_ID_MAX = 32;
// The most bytes of an application name: it must fit the connectable query.
constexpr std::size_t APPLICATION_NAME_MAX = 71;

// 1 to 32 bytes, none of them a blank, ',', ':' or a control character.
bool isUsableSkypeId(std::string_view id);
// 1 to 71 bytes of letters, digits and double-byte characters: no blank,
// no control character, no ASCII punctuation (the tokenizer ends a token
// there).
bool isUsableApplicationName(std::string_view name);
// A stream number: decimal digits only, at most 9 of them (so it fits an
// int). False for anything else, a sign included.
bool parseStreamNumber(std::string_view text, int* number);
