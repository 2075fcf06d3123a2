#include "platform/locale_format.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <libintl.h>
#include <stdexcept>
#include <string_view>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/measunit.h>
#include <unicode/numberformatter.h>
#include <unicode/timezone.h>

namespace oakenmere::platform {

namespace nf = icu::number;

struct LocaleFormat::State {
    icu::Locale locale;
    std::string name;
    std::unique_ptr<icu::TimeZone> zone;
    std::unique_ptr<icu::DateFormat> dateOnly;
    std::unique_ptr<icu::DateFormat> dateTime;
    nf::LocalizedNumberFormatter integers;
};

namespace {

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::unique_ptr<icu::DateFormat> dateFormat(icu::DateFormat::EStyle date, icu::DateFormat::EStyle time, const icu::Locale& locale,
                                            const icu::TimeZone& zone) {
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(date, time, locale));
    if (!format) throw std::runtime_error("ICU date formatting is unavailable.");
    format->setTimeZone(zone);
    return format;
}

std::string formatted(const nf::LocalizedNumberFormatter& formatter, double value) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text = formatter.formatDouble(value, status).toString(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU number formatting failed.");
    return utf8(text);
}

// The user's locale as POSIX chooses it (LC_ALL, then LC_MESSAGES as the page's words do, then
// LANG), where a variable set to nothing counts as unset: ICU would take an empty LANG for its
// root locale and print "2019 M03 14". Without one, or with C or POSIX, people still read "1,284"
// and "Mar 14, 2019".
icu::Locale processLocale() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') continue;
        icu::Locale locale = icu::Locale::createCanonical(value);
        std::string_view language = locale.getLanguage();
        if (language.empty() || language == "c" || language == "posix") break;
        return locale;
    }
    return icu::Locale("en", "US");
}

}  // namespace

LocaleFormat::LocaleFormat(const std::string& locale, const std::string& timeZone) : state_(std::make_unique<State>()) {
    state_->locale = locale.empty() ? processLocale() : icu::Locale(locale.c_str());
    state_->name = state_->locale.getName();
    state_->zone.reset(timeZone.empty() ? icu::TimeZone::createDefault()
                                        : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
    state_->dateOnly = dateFormat(icu::DateFormat::kMedium, icu::DateFormat::kNone, state_->locale, *state_->zone);
    state_->dateTime = dateFormat(icu::DateFormat::kMedium, icu::DateFormat::kShort, state_->locale, *state_->zone);
    state_->integers = nf::NumberFormatter::withLocale(state_->locale).precision(nf::Precision::integer());
}

LocaleFormat::~LocaleFormat() = default;
LocaleFormat::LocaleFormat(LocaleFormat&&) noexcept = default;
LocaleFormat& LocaleFormat::operator=(LocaleFormat&&) noexcept = default;

const std::string& LocaleFormat::localeName() const noexcept { return state_->name; }

std::string LocaleFormat::integer(std::int64_t value) const {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text = state_->integers.formatInt(value, status).toString(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU number formatting failed.");
    return utf8(text);
}

std::string LocaleFormat::abbreviatedDate(Date date) const {
    icu::UnicodeString text;
    state_->dateOnly->format(date.onCalendar().unixSeconds() * 1000.0, text);
    return utf8(text);
}

std::string LocaleFormat::abbreviatedDateShortTime(Date date) const {
    icu::UnicodeString text;
    state_->dateTime->format(date.onCalendar().unixSeconds() * 1000.0, text);
    return utf8(text);
}

std::string LocaleFormat::fileSize(std::int64_t bytes) const {
    // The platform's file-size style counts in powers of 1000 and shows fewer decimals for
    // smaller units; bytes are spelt out, and nothing at all is "Zero KB".
    if (bytes == 0) return ::dgettext("oakenmere", "Zero KB");
    auto base = nf::NumberFormatter::withLocale(state_->locale);
    double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1000)
        return formatted(base.unit(icu::MeasureUnit::getByte()).unitWidth(UNUM_UNIT_WIDTH_FULL_NAME), static_cast<double>(bytes));
    struct Step {
        icu::MeasureUnit unit;
        int fractionDigits;
    };
    const std::array<Step, 5> steps{{{icu::MeasureUnit::getKilobyte(), 0},
                                     {icu::MeasureUnit::getMegabyte(), 1},
                                     {icu::MeasureUnit::getGigabyte(), 2},
                                     {icu::MeasureUnit::getTerabyte(), 2},
                                     {icu::MeasureUnit::getPetabyte(), 2}}};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t i = 0;
    // Move up a unit while the rounded value would read 1000 or more.
    while (i + 1 < steps.size() &&
           std::round(std::fabs(value) * std::pow(10, steps[i].fractionDigits)) >= 1000 * std::pow(10, steps[i].fractionDigits)) {
        value /= 1000.0;
        ++i;
    }
    return formatted(
        base.unit(steps[i].unit).unitWidth(UNUM_UNIT_WIDTH_SHORT).precision(nf::Precision::maxFraction(steps[i].fractionDigits)), value);
}

}  // namespace oakenmere::platform
