#include "agent/expression/flow_expression_compiler.hpp"

#include "agent/expression/flow_expression_list.hpp"

#include <re2/re2.h>

namespace
{
using Compiler = tdFlowExpressionCompiler;
using Lexer = tdFlowExpressionLexer;
using Node = tdFlowExpressionNode;
using Operand = tdFlowExpressionOperand;
using Value = tdFlowExpressionValue;

// Deep enough for any hand-written expression, shallow enough for the stack.
constexpr unsigned MAX_NESTING = 64;
// Memory one regular expression may take: a larger pattern is rejected, and a search that
// outgrows it falls back to RE2's slower (still linear) matcher.
constexpr int64_t REGEX_MAX_MEMORY = 2 << 20;
// "in file('path')" names a list file where a list would stand.
constexpr std::string_view FILE_LIST = "file";

const char *TypeName(Value::Type type)
{
    switch (type) {
    case Value::T_NUMBER:
        return "a number";
    case Value::T_STRING:
        return "a string";
    case Value::T_BOOLEAN:
        return "a boolean";
    case Value::T_ADDRESS:
        return "an address";
    case Value::T_MAC:
        return "a MAC address";
    default:
        return "a value";
    }
}

// Only numbers and strings come in sets.
const char *TypeName(const Operand &operand)
{
    if (!operand.IsSet())
        return TypeName(operand.GetType());
    return operand.GetType() == Value::T_NUMBER ? "a set of numbers" : "a set of strings";
}

bool IsValueToken(Lexer::Kind kind)
{
    switch (kind) {
    case Lexer::K_STRING:
    case Lexer::K_NUMBER:
    case Lexer::K_ADDRESS:
    case Lexer::K_MAC:
    case Lexer::K_TRUE:
    case Lexer::K_FALSE:
        return true;
    default:
        return false;
    }
}

Value::Literal LiteralOf(const Lexer::Token &token)
{
    Value::Literal literal;
    switch (token.kind) {
    case Lexer::K_STRING:
        literal.type = Value::T_STRING;
        literal.text = token.text;
        break;
    case Lexer::K_NUMBER:
        literal.type = Value::T_NUMBER;
        literal.number = token.number;
        break;
    case Lexer::K_ADDRESS:
    case Lexer::K_MAC:
        literal.type = token.kind == Lexer::K_MAC ? Value::T_MAC : Value::T_ADDRESS;
        literal.prefix = token.prefix;
        break;
    default:
        literal.type = Value::T_BOOLEAN;
        literal.boolean = token.kind == Lexer::K_TRUE;
        break;
    }
    return literal;
}

bool ReadText(const std::string &text, Value::Type type, Value::Literal &literal)
{
    switch (type) {
    case Value::T_NUMBER:
        return Value::Number::Parse(text, literal.number) == Value::Number::P_OK;
    case Value::T_ADDRESS:
    case Value::T_MAC:
        return Value::Prefix::ParseNetwork(text, literal.prefix) &&
               (literal.prefix.family == Value::Prefix::F_MAC) == (type == Value::T_MAC);
    default:
        return false;
    }
}

// A quoted text stands for a number or an address where one is expected ("0x0303",
// "10.0.0.0/8").
bool ConvertText(Value::Literal &literal, Value::Type type)
{
    if (literal.type != Value::T_STRING || !ReadText(literal.text, type, literal))
        return false;
    literal.type = type;
    literal.text.clear();
    return true;
}

Value::Order OrderOf(Lexer::Kind kind)
{
    switch (kind) {
    case Lexer::K_LESS:
        return Value::O_LESS;
    case Lexer::K_LESS_EQUAL:
        return Value::O_LESS_EQUAL;
    case Lexer::K_GREATER:
        return Value::O_GREATER;
    default:
        return Value::O_GREATER_EQUAL;
    }
}
} // namespace

Compiler::tdFlowExpressionCompiler(std::string_view expression, RegexCache &regexes)
    : lexer(expression), regexes(regexes)
{
}

Node Compiler::Compile(std::string_view expression, RegexCache &regexes)
{
    Compiler compiler(expression, regexes);
    if (compiler.lexer.Peek().kind == Lexer::K_END)
        throw compiler.lexer.Fault(compiler.lexer.Peek().offset, "empty expression");
    Node root = compiler.ParseAny();
    const Token &rest = compiler.lexer.Peek();
    if (rest.kind != Lexer::K_END)
        throw compiler.lexer.Fault(rest.offset, "unexpected token: " + Lexer::Describe(rest));
    return root;
}

Node Compiler::ParseAny()
{
    std::vector<Node> terms;
    terms.push_back(ParseAll());
    while (lexer.Peek().kind == Lexer::K_OR) {
        lexer.Take();
        terms.push_back(ParseAll());
    }
    return terms.size() == 1 ? std::move(terms.front()) : Node::Any(std::move(terms));
}

Node Compiler::ParseAll()
{
    std::vector<Node> terms;
    terms.push_back(ParseUnary());
    while (lexer.Peek().kind == Lexer::K_AND) {
        lexer.Take();
        terms.push_back(ParseUnary());
    }
    return terms.size() == 1 ? std::move(terms.front()) : Node::All(std::move(terms));
}

// Repeated negations cancel, so a long run of them costs nothing at evaluation.
Node Compiler::ParseUnary()
{
    bool negated = false;
    while (lexer.Peek().kind == Lexer::K_NOT) {
        lexer.Take();
        negated = !negated;
    }
    Node node = ParsePrimary();
    return negated ? Node::Not(std::move(node)) : std::move(node);
}

Node Compiler::ParsePrimary()
{
    const Token &next = lexer.Peek();
    if (next.kind == Lexer::K_OPEN)
        return ParseGroup();
    if (next.kind == Lexer::K_NAME)
        return ParseComparison(ParseOperand());
    if (IsValueToken(next.kind))
        return ParseLeadingValue();
    Expected("a field or '('", next);
}

Node Compiler::ParseGroup()
{
    Token open = lexer.Take();
    if (++depth > MAX_NESTING)
        throw lexer.Fault(open.offset, "expression nested too deeply");
    Node node = ParseAny();
    if (lexer.Peek().kind != Lexer::K_CLOSE)
        Expected("')'", lexer.Peek());
    lexer.Take();
    depth--;
    return node;
}

Node Compiler::ParseComparison(Operand operand)
{
    const Token &next = lexer.Peek();
    switch (next.kind) {
    case Lexer::K_EQUAL:
    case Lexer::K_NOT_EQUAL: {
        bool negated = lexer.Take().kind == Lexer::K_NOT_EQUAL;
        Literal literal = ParseValue(operand);
        return Node::Equals(std::move(operand), {std::move(literal)}, negated);
    }
    case Lexer::K_LESS:
    case Lexer::K_LESS_EQUAL:
    case Lexer::K_GREATER:
    case Lexer::K_GREATER_EQUAL:
        return ParseOrder(std::move(operand), lexer.Take());
    case Lexer::K_MATCH:
    case Lexer::K_NOT_MATCH:
        return ParseMatch(std::move(operand), lexer.Take());
    case Lexer::K_NOT:
        lexer.Take();
        if (lexer.Peek().kind != Lexer::K_IN)
            Expected("'in' after 'not'", lexer.Peek());
        lexer.Take();
        return ParseMembership(std::move(operand), true);
    case Lexer::K_IN:
        lexer.Take();
        return ParseMembership(std::move(operand), false);
    case Lexer::K_HAS: {
        Token op = lexer.Take();
        if (!operand.IsIntel() && !operand.IsSet())
            throw lexer.Fault(op.offset, "operator has does not apply to " + operand.GetName() +
                                             " (" + TypeName(operand) + ")");
        Literal literal = ParseValue(operand);
        return Node::Equals(std::move(operand), {std::move(literal)}, false);
    }
    default:
        return Node::IsTrue(std::move(operand));
    }
}

Node Compiler::ParseMembership(Operand operand, bool negated)
{
    const Token &next = lexer.Peek();
    if (next.kind == Lexer::K_NAME && next.source == FILE_LIST)
        return ParseFileList(std::move(operand), negated);
    std::vector<Literal> literals = ParseList(operand);
    return Node::Equals(std::move(operand), std::move(literals), negated);
}

// "file" "(" string ")": the file is read now, so that evaluating never touches the disk.
Node Compiler::ParseFileList(Operand operand, bool negated)
{
    Token word = lexer.Take();
    Value::Type type = operand.IsIntel() ? Value::T_ABSENT : operand.GetType();
    if (type != Value::T_ADDRESS && type != Value::T_MAC && type != Value::T_STRING &&
        type != Value::T_NUMBER) {
        const char *kind = operand.IsIntel() ? "an intel value" : TypeName(operand);
        throw lexer.Fault(word.offset, "file lists do not apply to " + operand.GetName() + " (" +
                                           kind + ")");
    }
    if (lexer.Peek().kind != Lexer::K_OPEN)
        Expected("'(' after file", lexer.Peek());
    lexer.Take();
    if (lexer.Peek().kind != Lexer::K_STRING)
        Expected("a file name in quotes", lexer.Peek());
    std::string path = lexer.Take().text;
    if (lexer.Peek().kind != Lexer::K_CLOSE)
        Expected("')'", lexer.Peek());
    lexer.Take();

    std::shared_ptr<const tdFlowExpressionList> list;
    try {
        list = tdFlowExpressionList::Load(path, type);
    } catch (const std::string &fault) {
        throw lexer.Fault(word.offset, fault);
    }
    return Node::InList(std::move(operand), std::move(list), negated);
}

// value ["not"] "in" set-field, or an address or network on its own, which matches flows with
// either endpoint in it, the way an address exemption does.
Node Compiler::ParseLeadingValue()
{
    Token value = lexer.Take();
    Lexer::Kind next = lexer.Peek().kind;
    bool address = value.kind == Lexer::K_ADDRESS || value.kind == Lexer::K_MAC;
    if (address && next != Lexer::K_IN && next != Lexer::K_NOT)
        return EitherEndpoint(value);

    bool negated = lexer.Peek().kind == Lexer::K_NOT;
    if (negated)
        lexer.Take();
    if (lexer.Peek().kind != Lexer::K_IN)
        Expected(negated ? "'in' after 'not'" : "'in' or 'not in' after a value", lexer.Peek());
    lexer.Take();

    size_t field_offset = lexer.Peek().offset;
    Operand operand = ParseOperand();
    if (!operand.IsIntel() && !operand.IsSet())
        throw lexer.Fault(field_offset, "not a set field: " + operand.GetName());
    Literal literal = LiteralFor(operand, value);
    return Node::Equals(std::move(operand), {std::move(literal)}, negated);
}

Node Compiler::EitherEndpoint(const Token &value)
{
    bool mac = value.kind == Lexer::K_MAC;
    std::vector<Node> sides;
    for (const char *name : {mac ? "local_mac" : "local_ip", mac ? "other_mac" : "other_ip"})
        sides.push_back(Node::Equals(*Operand::Find(name), {LiteralOf(value)}, false));
    return Node::Any(std::move(sides));
}

Node Compiler::ParseOrder(Operand operand, const Token &op)
{
    RequireType(operand, Value::T_NUMBER, op);
    const Token &next = lexer.Peek();
    if (!IsValueToken(next.kind))
        Expected("a number", next);
    Token value = lexer.Take();
    Literal literal = LiteralOf(value);
    if (literal.type != Value::T_NUMBER && !ConvertText(literal, Value::T_NUMBER))
        throw lexer.Fault(value.offset, "type mismatch: operator " + std::string(op.source) +
                                            " needs a number, not " + TypeName(literal.type) +
                                            ": " + std::string(value.source));
    return Node::Compare(std::move(operand), OrderOf(op.kind), literal.number);
}

Node Compiler::ParseMatch(Operand operand, const Token &op)
{
    RequireType(operand, Value::T_STRING, op);
    if (lexer.Peek().kind != Lexer::K_STRING)
        Expected("a regular expression in quotes", lexer.Peek());
    Token pattern = lexer.Take();

    std::shared_ptr<const re2::RE2> *cached = regexes.Find(pattern.text);
    if (cached)
        return Node::Matches(std::move(operand), *cached, op.kind == Lexer::K_NOT_MATCH);

    re2::RE2::Options options;
    options.set_log_errors(false);
    options.set_never_capture(true);
    options.set_max_mem(REGEX_MAX_MEMORY);
    auto regex = std::make_shared<const re2::RE2>(pattern.text, options);
    if (!regex->ok())
        throw lexer.Fault(pattern.offset, "invalid regular expression: " + regex->error());
    regexes.Insert(pattern.text, regex);
    return Node::Matches(std::move(operand), std::move(regex), op.kind == Lexer::K_NOT_MATCH);
}

Operand Compiler::ParseOperand()
{
    const Token &next = lexer.Peek();
    if (next.kind != Lexer::K_NAME)
        Expected("a field", next);
    Token name = lexer.Take();
    std::optional<Operand> operand = Operand::Find(name.source);
    if (!operand)
        throw lexer.Fault(name.offset, "unknown field: " + std::string(name.source));
    return std::move(*operand);
}

Value::Literal Compiler::ParseValue(const Operand &operand)
{
    const Token &next = lexer.Peek();
    if (next.kind == Lexer::K_NAME)
        Expected("a value (strings are quoted)", next);
    if (!IsValueToken(next.kind))
        Expected("a value", next);
    return LiteralFor(operand, lexer.Take());
}

// A value for `operand`: its own type, or a quoted text that reads as one. Intel values take
// any value; their type is only known when they are read.
Value::Literal Compiler::LiteralFor(const Operand &operand, const Token &value) const
{
    Literal literal = LiteralOf(value);
    if (operand.IsIntel() || literal.type == operand.GetType() ||
        ConvertText(literal, operand.GetType()))
        return literal;
    throw lexer.Fault(value.offset, "type mismatch: " + operand.GetName() + " is " +
                                        TypeName(operand) + ", not " + TypeName(literal.type) +
                                        ": " + std::string(value.source));
}

// "[" [value {"," value}] "]"
std::vector<Value::Literal> Compiler::ParseList(const Operand &operand)
{
    if (lexer.Peek().kind != Lexer::K_OPEN_LIST)
        Expected("'['", lexer.Peek());
    lexer.Take();
    std::vector<Literal> literals;
    if (lexer.Peek().kind == Lexer::K_CLOSE_LIST) {
        lexer.Take();
        return literals;
    }
    for (;;) {
        literals.push_back(ParseValue(operand));
        Token separator = lexer.Take();
        if (separator.kind == Lexer::K_CLOSE_LIST)
            return literals;
        if (separator.kind != Lexer::K_COMMA)
            Expected("',' or ']'", separator);
    }
}

void Compiler::RequireType(const Operand &operand, Value::Type type, const Token &op) const
{
    if (operand.IsIntel() || operand.GetType() == type)
        return;
    throw lexer.Fault(op.offset, "operator " + std::string(op.source) + " does not apply to " +
                                     operand.GetName() + " (" + TypeName(operand) + ")");
}

void Compiler::Expected(const char *what, const Token &found) const
{
    throw lexer.Fault(found.offset,
                      std::string("expected ") + what + ": " + Lexer::Describe(found));
}
