// A validator for the part of JSON Schema (2020-12) that the project's schema
// files use: type, const, enum, properties, required, additionalProperties
// (true/false), items, minItems, maxItems, minimum, maximum, pattern, allOf,
// if/then, and $ref to "#/$defs/NAME". Annotations ($schema, $id, title,
// description, $defs) are skipped. A keyword outside this list is reported as
// an error, so that a schema never relies on something this does not check.
#pragma once

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

namespace qwtest {

class JsonSchema {
public:
  explicit JsonSchema(nlohmann::json schema) : root_(std::move(schema)) {}

  // The errors of value against the schema ("path: what"); empty when valid.
  std::vector<std::string> validate(const nlohmann::json &value) const {
    std::vector<std::string> errors;
    check(root_, value, "$", errors);
    return errors;
  }

private:
  static bool hasType(const nlohmann::json &v, const std::string &type) {
    if (type == "object")
      return v.is_object();
    if (type == "array")
      return v.is_array();
    if (type == "string")
      return v.is_string();
    if (type == "boolean")
      return v.is_boolean();
    if (type == "integer")
      return v.is_number_integer() ||
             (v.is_number_float() && v.get<double>() == static_cast<double>(static_cast<long long>(v.get<double>())));
    if (type == "number")
      return v.is_number();
    if (type == "null")
      return v.is_null();
    return false;
  }

  const nlohmann::json &resolve(const std::string &ref, const std::string &path,
                                std::vector<std::string> &errors) const {
    static const nlohmann::json empty = nlohmann::json::object();
    const std::string prefix = "#/$defs/";
    if (ref.rfind(prefix, 0) != 0 || !root_.contains("$defs") || !root_["$defs"].contains(ref.substr(prefix.size()))) {
      errors.push_back(path + ": unresolved $ref " + ref);
      return empty;
    }
    return root_["$defs"][ref.substr(prefix.size())];
  }

  void check(const nlohmann::json &s, const nlohmann::json &v, const std::string &path,
             std::vector<std::string> &errors) const {
    for (auto it = s.begin(); it != s.end(); ++it) {
      const std::string &k = it.key();
      const nlohmann::json &a = it.value();
      if (k == "$schema" || k == "$id" || k == "title" || k == "description" || k == "$defs" || k == "then") {
        continue;
      } else if (k == "$ref") {
        check(resolve(a.get<std::string>(), path, errors), v, path, errors);
      } else if (k == "allOf") {
        for (const nlohmann::json &sub : a)
          check(sub, v, path, errors);
      } else if (k == "if") {
        std::vector<std::string> probe;
        check(a, v, path, probe);
        if (probe.empty() && s.contains("then"))
          check(s["then"], v, path, errors);
      } else if (k == "type") {
        bool any = false;
        for (const nlohmann::json &t : a.is_array() ? a : nlohmann::json::array({a}))
          any = any || hasType(v, t.get<std::string>());
        if (!any)
          errors.push_back(path + ": not of type " + a.dump());
      } else if (k == "const") {
        if (v != a)
          errors.push_back(path + ": not " + a.dump());
      } else if (k == "enum") {
        bool found = false;
        for (const nlohmann::json &e : a)
          found = found || v == e;
        if (!found)
          errors.push_back(path + ": " + v.dump() + " not one of " + a.dump());
      } else if (k == "properties") {
        if (v.is_object())
          for (auto p = a.begin(); p != a.end(); ++p)
            if (v.contains(p.key()))
              check(p.value(), v[p.key()], path + "." + p.key(), errors);
      } else if (k == "required") {
        if (v.is_object())
          for (const nlohmann::json &r : a)
            if (!v.contains(r.get<std::string>()))
              errors.push_back(path + ": " + r.get<std::string>() + " missing");
      } else if (k == "additionalProperties") {
        if (v.is_object() && a == false)
          for (auto p = v.begin(); p != v.end(); ++p)
            if (!s.contains("properties") || !s["properties"].contains(p.key()))
              errors.push_back(path + ": unexpected member " + p.key());
      } else if (k == "items") {
        if (v.is_array())
          for (size_t i = 0; i < v.size(); ++i)
            check(a, v[i], path + "[" + std::to_string(i) + "]", errors);
      } else if (k == "minItems" || k == "maxItems") {
        if (v.is_array() && (k == "minItems" ? v.size() < a.get<size_t>() : v.size() > a.get<size_t>()))
          errors.push_back(path + ": " + std::to_string(v.size()) + " items, " + k + " " + a.dump());
      } else if (k == "minimum" || k == "maximum") {
        if (v.is_number() && (k == "minimum" ? v.get<double>() < a.get<double>() : v.get<double>() > a.get<double>()))
          errors.push_back(path + ": " + v.dump() + " beyond " + k + " " + a.dump());
      } else if (k == "pattern") {
        if (v.is_string() && !std::regex_search(v.get<std::string>(), std::regex(a.get<std::string>())))
          errors.push_back(path + ": " + v.dump() + " does not match " + a.get<std::string>());
      } else {
        errors.push_back(path + ": schema keyword " + k + " is not supported by this validator");
      }
    }
  }

  nlohmann::json root_;
};

} // namespace qwtest

#include <gtest/gtest.h>

#include "process.h"
#include "tempdir.h"

namespace qwtest {

// The schema of updater --json (schema/updater-result-1.schema.json).
inline const JsonSchema &UpdaterResultSchema() {
  static const JsonSchema schema(
      nlohmann::json::parse(ReadFile(std::string(QW_SOURCE_DIR) + "/schema/updater-result-1.schema.json")));
  return schema;
}

// Standard output of an updater --json run: exactly one JSON document (only
// white space around it), valid against the schema, whose status is the
// process's. Failures are reported to the running test; the document is
// returned with its members in document order (null when it did not parse).
inline nlohmann::ordered_json ExpectJsonResult(const ProcessResult &r) {
  nlohmann::ordered_json doc;
  try {
    doc = nlohmann::ordered_json::parse(r.out);
  } catch (const nlohmann::json::exception &e) {
    ADD_FAILURE() << "standard output is not one JSON document: " << e.what() << "\n" << r.out << r.err;
    return nullptr;
  }
  for (const std::string &e : UpdaterResultSchema().validate(nlohmann::json::parse(doc.dump())))
    ADD_FAILURE() << e << "\n" << doc.dump(2);
  EXPECT_EQ(doc.value("status", -1), r.status) << doc.dump(2);
  return doc;
}

} // namespace qwtest
