#pragma once
// An error kept by value. Descriptors are per thread and overwritten by the
// thread's next error, so a caller that must run more fallible steps (the
// rest of a teardown) after a failure keeps the failure here and raises it
// again, unchanged, once those steps are done.

#include "common/errdesc.hpp"

#include <optional>

class kept_error
{
  public:
    kept_error() = default;
    explicit kept_error(const errdesc_t *err) { keep(err); }

    void keep(const errdesc_t *err)
    {
        if (err)
            saved_ = *err;
    }
    bool empty() const { return !saved_; }
    // The kept error as the thread's descriptor again, or null.
    errdesc_t *raise() const
    {
        if (!saved_)
            return nullptr;
        errdesc_t *err = _intern_errdesc_set_str(saved_->number, saved_->string,
                                                 saved_->linenumber, saved_->filename);
        err->origin = saved_->origin;
        return err;
    }

  private:
    std::optional<errdesc_t> saved_;
};
