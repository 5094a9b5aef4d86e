// Line output of the program: every line it prints goes through one TLineWriter, which
// ends each line with CR LF.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tw {

class TLineWriter {
  public:
    virtual ~TLineWriter() = default;
    TLineWriter() = default;
    TLineWriter(const TLineWriter&) = delete;
    TLineWriter& operator=(const TLineWriter&) = delete;

    // Writes the parts one after the other, then CR LF. Allocates nothing, so it is safe
    // to use while reporting an exhausted memory.
    template <class... Parts> void Line(const Parts&... parts) {
        (Put(std::string_view(parts)), ...);
        Put("\r\n");
        LineDone();
    }

  protected:
    virtual void Put(std::string_view text) = 0;
    virtual void LineDone() {}
};

// Writes to a C stream (standard output in the program) and flushes after every line, so
// the lines printed so far are out even if the process is ended from outside.
class TFileLineWriter final : public TLineWriter {
  public:
    explicit TFileLineWriter(std::FILE* file) : file_(file) {}

  protected:
    void Put(std::string_view text) override;
    void LineDone() override;

  private:
    std::FILE* file_;
};

// Collects the lines in memory (tests, and callers that want the text).
class TStringLineWriter final : public TLineWriter {
  public:
    const std::string& Text() const { return text_; }

  protected:
    void Put(std::string_view text) override { text_.append(text); }

  private:
    std::string text_;
};

} // namespace tw
