// The command-line option scanner. Case-sensitive; no clumping of short
// options and no arguments glued to them; a unique prefix of an option is
// accepted; "--opt=value" and "-o=value" carry an argument in the same word.
// Words that are not options are skipped and moved behind the options.
#pragma once

#include <cstring>
#include <string>
#include <vector>

enum ESOError {
  SO_SUCCESS = 0,
  SO_OPT_INVALID = -1,  // unknown option
  SO_OPT_MULTIPLE = -2, // ambiguous prefix
  SO_ARG_INVALID = -3,  // an argument given to an option that takes none
  SO_ARG_MISSING = -5,  // a required argument is absent
};

enum ESOArgType {
  SO_NONE = 0,    // no argument
  SO_REQ_SEP = 1, // required: the next word, or after "=" in the same word
};

template <class SOCHAR> class CSimpleOptTempl {
public:
  struct SOption {
    int nId;
    const SOCHAR *pszArg;
    int nArgType;
  };

  CSimpleOptTempl(int argc, SOCHAR *argv[], const SOption *options, int flags = 0)
      : argc_(argc), argv_(argv), options_(options) {
    (void)flags;
    next_ = 1;
  }

  // Advances to the next option; false when the words are used up.
  bool Next() {
    error_ = SO_SUCCESS;
    id_ = -1;
    text_ = nullptr;
    arg_ = nullptr;
    // Skip words that are not options.
    while (next_ < argc_ && argv_[next_][0] != '-') {
      nonOptions_.push_back(argv_[next_]);
      ++next_;
    }
    if (next_ >= argc_)
      return false;
    SOCHAR *word = argv_[next_++];
    order_.push_back(word);

    const SOCHAR *eq = strchr(word, '=');
    std::string name = eq ? std::string(word, eq - word) : std::string(word);
    int index = lookup(name);
    if (index < 0) {
      text_ = word;
      return true;
    }
    const SOption &opt = options_[index];
    id_ = opt.nId;
    text_ = opt.pszArg;
    if (opt.nArgType == SO_NONE) {
      if (eq)
        error_ = SO_ARG_INVALID;
      return true;
    }
    if (eq) {
      arg_ = eq + 1;
      return true;
    }
    if (next_ < argc_ && argv_[next_][0] != '-') {
      arg_ = argv_[next_];
      order_.push_back(argv_[next_]);
      ++next_;
      return true;
    }
    // The next word (if any) is scanned as the next option.
    error_ = SO_ARG_MISSING;
    return true;
  }

  int LastError() const { return error_; }
  int OptionId() const { return id_; }
  const SOCHAR *OptionText() const { return text_; }
  const SOCHAR *OptionArg() const { return arg_; }

  // argv as the scanner leaves it: the program name, the option words in
  // order, then the words that were not options.
  std::vector<const SOCHAR *> Words() const {
    std::vector<const SOCHAR *> words;
    if (argc_ > 0)
      words.push_back(argv_[0]);
    words.insert(words.end(), order_.begin(), order_.end());
    for (int i = next_; i < argc_; ++i)
      words.push_back(argv_[i]);
    words.insert(words.end(), nonOptions_.begin(), nonOptions_.end());
    return words;
  }

private:
  static size_t hyphens(const char *s) {
    size_t n = 0;
    while (s[n] == '-')
      ++n;
    return n;
  }

  // The table index of an exact match, else of the only partial match; -1 for
  // none (SO_OPT_INVALID) and for several (SO_OPT_MULTIPLE).
  int lookup(const std::string &name) {
    for (int i = 0; options_[i].nId >= 0; ++i)
      if (name == options_[i].pszArg)
        return i;
    size_t h = hyphens(name.c_str());
    std::string rest = name.substr(h);
    int found = -1, count = 0;
    if (!rest.empty()) {
      for (int i = 0; options_[i].nId >= 0; ++i) {
        const char *entry = options_[i].pszArg;
        size_t eh = hyphens(entry);
        if (eh != h)
          continue;
        const char *erest = entry + eh;
        if (strlen(erest) > rest.size() && strncmp(erest, rest.c_str(), rest.size()) == 0) {
          found = i;
          ++count;
        }
      }
    }
    if (count == 1)
      return found;
    error_ = count == 0 ? SO_OPT_INVALID : SO_OPT_MULTIPLE;
    return -1;
  }

  int argc_;
  SOCHAR **argv_;
  const SOption *options_;
  int next_ = 1;
  int error_ = SO_SUCCESS;
  int id_ = -1;
  const SOCHAR *text_ = nullptr;
  const SOCHAR *arg_ = nullptr;
  std::vector<const SOCHAR *> order_;
  std::vector<const SOCHAR *> nonOptions_;
};

typedef CSimpleOptTempl<char> CSimpleOpt;
