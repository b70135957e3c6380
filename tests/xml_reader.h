// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Documents read back by an XML reader, libxml2: the tests' proof that any
// reader reads every listing. Where the tests are built for a target that
// has no libxml2, the fixture asks the build machine's own xml_reader
// program (xml_reader_main.cc) instead.
#ifndef KELVANE_TESTS_XML_READER_H
#define KELVANE_TESTS_XML_READER_H

#include <optional>
#include <string>
#include <vector>

// The name attributes of the root's child elements, in document order (in
// UTF-8, references resolved); nothing when the document is not
// well-formed.
std::optional<std::vector<std::string>>
names_read_by_libxml2(const std::string &document);

#endif
