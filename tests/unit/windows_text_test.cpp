#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/windows/windows_text.h"

namespace pelldor::platform::windows {
namespace {

std::string Tail(std::u16string_view line) { return ToUtf8(CommandLineTail(line)); }

// The program's name ends at its closing quote or the first blank; the rest is kept as typed.
TEST(WindowsCommandLine, TheTailFollowsTheProgramNameAsTyped) {
    EXPECT_EQ(Tail(u"pelldor.exe 5 2 host:123"), "5 2 host:123");
    EXPECT_EQ(Tail(u"\"C:\\Program Files\\Pelldor\\pelldor.exe\" 5 2 host:123"), "5 2 host:123");
    EXPECT_EQ(Tail(u"C:\\Pelldor\\pelldor.exe\t \t5 2 host:123"), "5 2 host:123");
    // After the closing quote the name is over, whatever follows it.
    EXPECT_EQ(Tail(u"\"C:\\a b\\pelldor.exe\"5 2"), "5 2");
    EXPECT_EQ(Tail(u"\"C:\\never closed 5 2"), "");
    EXPECT_EQ(Tail(u"pelldor.exe"), "");
    EXPECT_EQ(Tail(u"\"pelldor.exe\"   "), "");
    EXPECT_EQ(Tail(u""), "");
    EXPECT_EQ(Tail(u"p.exe 5  2 \"my host:123\"  "), "5  2 \"my host:123\"  ");
    EXPECT_EQ(Tail(u"p.exe \"\" x \"a\"\"b\""), "\"\" x \"a\"\"b\"");
    EXPECT_EQ(Tail(u"p.exe 5 2 h\u00f6st:123"), "5 2 h\xc3\xb6st:123");
}

// The options of `pelldor check`, as the C runtime would hand them to main.
TEST(WindowsCommandLine, ArgumentsAreSplitByTheRuntimesRules) {
    using Arguments = std::vector<std::string>;
    const auto split = [](std::u16string_view tail) {
        Arguments arguments;
        for (const std::u16string& argument : SplitArguments(tail)) arguments.push_back(ToUtf8(argument));
        return arguments;
    };
    EXPECT_EQ(split(u" -H\t127.0.0.1  -p 123 "), (Arguments{"-H", "127.0.0.1", "-p", "123"}));
    EXPECT_EQ(split(u"\"my host\" \"\" x"), (Arguments{"my host", "", "x"}));
    // "" inside quotes is one quote; backslashes are literal unless a quote follows them.
    EXPECT_EQ(split(u"\"a\"\"b\" c\\\\d"), (Arguments{"a\"b", "c\\\\d"}));
    // Before a quote, 2n backslashes are n and the quote groups; 2n+1 are n and a quote.
    EXPECT_EQ(split(u"a\\\\\"b c\" d\\\"e"), (Arguments{"a\\b c", "d\"e"}));
    EXPECT_EQ(split(u"\"never closed h\u00f6st"), (Arguments{"never closed h\xc3\xb6st"}));
}

TEST(WindowsText, Utf16AndUtf8RoundTripEveryPlaneAndReplaceWhatIsIllFormed) {
    const std::u16string text = u"ntp \u00e9 \u6642\u523b \U0001F552 end";
    const std::string utf8 = "ntp \xc3\xa9 \xe6\x99\x82\xe5\x88\xbb \xf0\x9f\x95\x92 end";
    EXPECT_EQ(ToUtf8(text), utf8);
    EXPECT_EQ(ToUtf16(utf8), text);
    EXPECT_EQ(ToUtf8(u""), "");
    EXPECT_EQ(ToUtf16(""), u"");
    // Ill-formed text becomes replacement characters.
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(ToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a" + fffd + "b");
    EXPECT_EQ(ToUtf8(std::u16string{0xDC00, 0xD800}), fffd + fffd);
    EXPECT_EQ(ToUtf16("a\xff" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(ToUtf16("\xc0\xaf"), (std::u16string{0xFFFD, 0xFFFD})) << "overlong slash";
    EXPECT_EQ(ToUtf16("\xed\xa0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD})) << "encoded surrogate";
    EXPECT_EQ(ToUtf16("\xf4\x90\x80\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})) << "beyond U+10FFFF";
    EXPECT_EQ(ToUtf16("\xe6\x99"), (std::u16string{0xFFFD, 0xFFFD})) << "cut short";
}

TEST(WindowsPath, FolderOfAPathAndTheExtendedFormOfALongOne) {
    EXPECT_EQ(DirectoryOf("C:\\Tools\\Pelldor\\pelldor.exe"), "C:\\Tools\\Pelldor");
    EXPECT_EQ(DirectoryOf("C:\\pelldor.exe"), "C:\\");
    EXPECT_EQ(DirectoryOf("\\\\server\\share\\pelldor.exe"), "\\\\server\\share");
    EXPECT_EQ(DirectoryOf("Z:/tmp/pelldor.exe"), "Z:/tmp");
    EXPECT_EQ(DirectoryOf("pelldor.exe"), ".");
    // Only long absolute paths take the extended form.
    EXPECT_EQ(LongPathForm(u"C:\\short\\ntpdebug.txt"), u"C:\\short\\ntpdebug.txt");
    const std::u16string deep(300, u'd');
    EXPECT_EQ(LongPathForm(u"C:/" + deep), u"\\\\?\\C:\\" + deep);
    EXPECT_EQ(LongPathForm(u"\\\\server\\share\\" + deep), u"\\\\?\\UNC\\server\\share\\" + deep);
    EXPECT_EQ(LongPathForm(u"\\\\?\\C:\\" + deep), u"\\\\?\\C:\\" + deep);
    EXPECT_EQ(LongPathForm(u"relative\\" + deep), u"relative\\" + deep);
}

TEST(WindowsErrors, FileErrorsHaveFixedEnglishTexts) {
    EXPECT_EQ(FileErrorText(5), "Access denied");
    EXPECT_EQ(FileErrorText(32), "File in use by another process");
    EXPECT_EQ(FileErrorText(112), FileErrorText(39));
    EXPECT_EQ(FileErrorText(4294967295u), "Windows error 4294967295");
    EXPECT_EQ(FileErrorText(0x1234), "Windows error 4660");
}

}  // namespace
}  // namespace pelldor::platform::windows
