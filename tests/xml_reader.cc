// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include "xml_reader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

std::optional<std::vector<std::string>>
names_read_by_libxml2(const std::string &document) {
    xmlDocPtr doc =
        xmlReadMemory(document.data(), static_cast<int>(document.size()), "listing.xml",
                      nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return std::nullopt;
    std::vector<std::string> names;
    for (xmlNodePtr node = xmlDocGetRootElement(doc)->children; node; node = node->next) {
        xmlChar *name = xmlGetProp(node, BAD_CAST "name");
        if (name)
            names.emplace_back(reinterpret_cast<const char *>(name));
        xmlFree(name);
    }
    xmlFreeDoc(doc);
    return names;
}
