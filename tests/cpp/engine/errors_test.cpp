// The printed forms of the engine's errors and of numbers inside messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "timetable/errors.h"

namespace vornik {
namespace {

struct FloatCase {
  double value;
  std::string text;
};
class FloatText : public ::testing::TestWithParam<FloatCase> {};
TEST_P(FloatText, PrintsShortestPositional) { EXPECT_EQ(format_f64(GetParam().value), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Numbers, FloatText,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{2.0, "2"}, FloatCase{0.25, "0.25"}, FloatCase{0.1, "0.1"},
                      FloatCase{-0.5, "-0.5"}, FloatCase{-0.0, "-0"}, FloatCase{1e21, "1000000000000000000000"},
                      FloatCase{1e-7, "0.0000001"}, FloatCase{0x1p53, "9007199254740992"},
                      FloatCase{0x1p60, "1152921504606847000"}, FloatCase{0x1p63, "9223372036854776000"},
                      FloatCase{-0x1p63, "-9223372036854776000"}, FloatCase{1e23, "100000000000000000000000"},
                      FloatCase{1.5e300, "15" + std::string(299, '0')},
                      FloatCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
                      FloatCase{std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
                      FloatCase{-1.25e-5, "-0.0000125"}, FloatCase{123.456, "123.456"},
                      FloatCase{std::nan(""), "NaN"}, FloatCase{-std::nan(""), "NaN"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}));

ModelError out_of_range(double t) { return ModelError::OutOfRange{t}; }

struct TextCase {
  const char* name;
  std::string printed;
  const char* expected;
};
class ErrorText : public ::testing::TestWithParam<TextCase> {};
TEST_P(ErrorText, MatchesTemplate) { EXPECT_EQ(GetParam().printed, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Spec, ErrorText,
    ::testing::Values(TextCase{"unknown_op", to_string(SpecError(SpecError::UnknownOp{"w"})), "Unknown Op 'w'"},
                      TextCase{"message", to_string(SpecError(SpecError::Message{"Missing Track Value"})),
                               "Missing Track Value"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Op, ErrorText,
    ::testing::Values(TextCase{"spec", to_string(OpError(OpError::Spec{SpecError::UnknownOp{""}})),
                               "Error in Op, caused by \nUnknown Op ''"},
                      TextCase{"track", to_string(OpError(OpError::TrackNotFound{0})), "Track 0 not found"},
                      TextCase{"unknown", to_string(OpError(OpError::UnknownOp{">="})), "Unknown Op '>='"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Model, ErrorText,
    ::testing::Values(
        TextCase{"interpolate", to_string(ModelError(ModelError::InterpolateError{"x"})), "InterpolateError x"},
        TextCase{"builder",
                 to_string(ModelError(ModelError::BuilderError{"Values in the x axis need to be strictly monotonic rising"})),
                 "BuilderError Values in the x axis need to be strictly monotonic rising"},
        TextCase{"rate_divide",
                 to_string(ModelError(ModelError::RateContext{
                     "discount", 0.5, 0.5, std::make_unique<ModelError>(ModelError::DivideByZero{})})),
                 "Error in 'discount' rate from time 0.5 to 0.5, caused by \n'Error: Divide by zero'"},
        TextCase{"value_context",
                 to_string(ModelError(ModelError::ValueContext{"discount factor", 3.0,
                                                               std::make_unique<ModelError>(out_of_range(3.0))})),
                 "Error in 'discount factor' value at 3, caused by \n'Error: Interpolation out of range at time 3.\n"
                 " Perhaps the time range in forwards/discount data is too short.'"},
        TextCase{"out_of_range", to_string(out_of_range(0.1)),
                 "Error: Interpolation out of range at time 0.1.\n Perhaps the time range in forwards/discount data "
                 "is too short."},
        TextCase{"asset", to_string(ModelError(ModelError::AssetNotFound{"EUR"})),
                 "Asset 'EUR' not found in snaps, expressions, or in dataset[ASSETS]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Evaluation, ErrorText,
    ::testing::Values(
        TextCase{"model", to_string(EvaluationError(ModelError(ModelError::DivideByZero{}))), "Error: Divide by zero"},
        TextCase{"op", to_string(EvaluationError(OpError(OpError::TrackNotFound{7}))), "Track 7 not found"},
        TextCase{"phrase", to_string(EvaluationError(PhraseError{"ValueError: bad input"})),
                 "Error in Phrase Evaluation, caused by \nValueError: bad input"},
        TextCase{"spec", to_string(EvaluationError(SpecError(SpecError::Message{"No track specified at event#3"}))),
                 "No track specified at event#3"},
        TextCase{"event", to_string(EvaluationError(EvaluationError::Event{"#0: track: <none>", "missing time"})),
                 "Error at event:\n  #0: track: <none>, caused by \nmissing time"},
        TextCase{"not_implemented", to_string(EvaluationError(EvaluationError::NotImplemented{"Snap in FD: s"})),
                 "Feature Not Implemented: `Snap in FD: s`"},
        TextCase{"event_specs", to_string(EvaluationError(EvaluationError::EventSpecs{"Missing Unit Name"})),
                 "Error in Event Specs: Missing Unit Name"},
        TextCase{"message", to_string(EvaluationError(EvaluationError::Message{""})), ""},
        TextCase{"arrow", to_string(EvaluationError(EvaluationError::Arrow{"cashflows", "Invalid: x"})),
                 "Error Creating Arrow for 'cashflows', caused by \nInvalid: x"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vornik
