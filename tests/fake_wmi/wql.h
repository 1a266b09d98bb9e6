// The small part of WQL the firmware queries use:
//   SELECT <anything> FROM <class> [WHERE name = "X" [OR name = "Y" ...]]
#pragma once

#include <string>
#include <vector>

namespace fake_wmi {

struct WqlQuery {
    std::wstring className;
    bool hasWhere = false;
    std::vector<std::wstring> names;  // the quoted names of the WHERE clause
};

// False when the text is not a query of that shape.
bool ParseWql(const std::wstring& text, WqlQuery& query);

}  // namespace fake_wmi
