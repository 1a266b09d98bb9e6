#include "wql.h"

#include "scenario.h"

namespace fake_wmi {
namespace {

enum class TokenKind { Word, Quoted, Symbol };

struct Token {
    TokenKind kind = TokenKind::Symbol;
    std::wstring text;
};

bool IsWordChar(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
}

bool Tokenize(const std::wstring& text, std::vector<Token>& tokens)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            ++i;
        } else if (IsWordChar(c)) {
            const std::size_t start = i;
            while (i < text.size() && IsWordChar(text[i]))
                ++i;
            tokens.push_back({TokenKind::Word, text.substr(start, i - start)});
        } else if (c == L'"' || c == L'\'') {
            const std::size_t close = text.find(c, i + 1);
            if (close == std::wstring::npos)
                return false;
            tokens.push_back({TokenKind::Quoted, text.substr(i + 1, close - i - 1)});
            i = close + 1;
        } else {
            tokens.push_back({TokenKind::Symbol, std::wstring(1, c)});
            ++i;
        }
    }
    return true;
}

bool IsWord(const std::vector<Token>& tokens, std::size_t at, const wchar_t* word)
{
    return at < tokens.size() && tokens[at].kind == TokenKind::Word && EqualsNoCase(tokens[at].text, word);
}

}  // namespace

bool ParseWql(const std::wstring& text, WqlQuery& query)
{
    query = WqlQuery{};
    std::vector<Token> tokens;
    if (!Tokenize(text, tokens) || !IsWord(tokens, 0, L"SELECT"))
        return false;
    std::size_t at = 1;
    while (at < tokens.size() && !IsWord(tokens, at, L"FROM"))
        ++at;
    ++at;  // past FROM
    if (at >= tokens.size() || tokens[at].kind != TokenKind::Word)
        return false;
    query.className = tokens[at++].text;
    if (at == tokens.size())
        return true;
    if (!IsWord(tokens, at++, L"WHERE"))
        return false;
    query.hasWhere = true;
    for (;;) {
        if (!IsWord(tokens, at, L"name") || at + 2 >= tokens.size() || tokens[at + 1].kind != TokenKind::Symbol ||
            tokens[at + 1].text != L"=" || tokens[at + 2].kind != TokenKind::Quoted) {
            return false;
        }
        query.names.push_back(tokens[at + 2].text);
        at += 3;
        if (at == tokens.size())
            return true;
        if (!IsWord(tokens, at++, L"OR"))
            return false;
    }
}

}  // namespace fake_wmi
