// Test helper: a readable dump of a parsed qil document.
#pragma once

#include <string>

#include "doc/doc_core.h"

std::string doc_dump_tree(DocNode *root);
std::string doc_dump_result(const DocParseResult &r, StrView source);
