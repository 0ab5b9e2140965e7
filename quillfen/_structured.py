"""Structured output and tool calls: JSON Schemas, grammars and OpenAI's `response_format`, `tools` and
`tool_choice` turned into grammars for llguidance, the token masks that hold generation to them, and
the parsers that read tool calls back out of a chat template family's own format.

Everything here takes and gives OpenAI's shapes, so a server hands requests through unchanged:

    grammar = response_format_grammar({"type": "json_schema", "json_schema": {"schema": {...}}})
    tools = check_tools(request["tools"]); choice = check_tool_choice(request.get("tool_choice"), tools)
    fmt = tool_format(chat_template)      # how this family writes calls
    content, calls = fmt.parse(text)      # calls: [ToolCall], each .as_openai()

Bad input (a schema llguidance cannot compile, a keyword it does not support, a grammar it rejects, a
tool whose parameters are not an object schema) raises ValueError naming the problem; nothing ever
falls back to unconstrained output.

llguidance is an optional dependency (`pip install quillfen[structured]`): a 3 MB wheel with no
dependencies of its own, where xgrammar brings torch and the CUDA stack.
"""

from __future__ import annotations

import ast
import json
import re
import secrets
from collections.abc import Callable, Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeVar

# Whitespace between JSON tokens: enough for pretty-printing a few levels deep, never a run that
# lasts until the token limit.
JSON_WHITESPACE = r"[\x20\x0A\x0D\x09]{0,12}"
_JSON_OPTIONS = {"whitespace_pattern": JSON_WHITESPACE}


def _llguidance() -> Any:
    try:
        import llguidance
    except ImportError:
        raise ImportError("structured output needs llguidance: pip install 'quillfen[structured]'") from None
    return llguidance


# ---- grammars ------------------------------------------------------------------------------------


def _schema_dict(schema: Any, what: str) -> dict[str, Any]:
    if isinstance(schema, (str, bytes)):
        try:
            schema = json.loads(schema)
        except ValueError as e:
            raise ValueError(f"{what} is not valid JSON: {e}") from None
    if schema is True:  # a schema that accepts any document
        schema = {}
    if schema is False:
        raise ValueError(f"{what} is false, which no document satisfies")
    if not isinstance(schema, Mapping):
        raise ValueError(f"{what} must be a JSON object (a dict), not {type(schema).__name__}")
    try:
        copied: dict[str, Any] = json.loads(json.dumps(schema))
        return copied
    except (TypeError, ValueError) as e:
        raise ValueError(f"{what} does not convert to JSON: {e}") from None


# The integers JSON carries exactly in every reader (IEEE doubles): the bound given to integers that
# have none, so that a run of digits cannot last until the token limit.
_SAFE_INTEGER = 2**53 - 1
# Fractions end after this many digits, for the same reason (a double holds about 16 digits in all).
_NUMBER_STEP = 1e-6
_SCHEMA_LISTS = ("anyOf", "oneOf", "prefixItems")
_SCHEMA_MAPS = ("properties", "$defs", "definitions")


def _generation_schema(schema: Any, in_all_of: bool = False) -> Any:
    """The schema as generation reads it, which accepts a subset of its documents, all valid: objects that
    list their properties take no others unless the schema says so (a small model otherwise adds keys
    until the token limit), numbers without bounds stay within the safe integers, and fractions
    have at most six digits. An object
    inside allOf is left open, since its siblings add the other properties."""
    if isinstance(schema, list):
        return [_generation_schema(s) for s in schema]
    if not isinstance(schema, dict):
        return schema
    out = dict(schema)
    for key in _SCHEMA_MAPS:
        if isinstance(out.get(key), dict):
            out[key] = {k: _generation_schema(v) for k, v in out[key].items()}
    for key in (*_SCHEMA_LISTS, "items", "additionalProperties"):
        if key in out:
            out[key] = _generation_schema(out[key])
    if isinstance(out.get("allOf"), list):
        out["allOf"] = [_generation_schema(s, in_all_of=True) for s in out["allOf"]]
    if ("properties" in out and not in_all_of and "allOf" not in out
            and "additionalProperties" not in out and "unevaluatedProperties" not in out):
        out["additionalProperties"] = False
    kind = out.get("type")
    kind = kind[0] if isinstance(kind, list) and len(kind) == 1 else kind
    if kind in ("integer", "number"):
        if "minimum" not in out and "exclusiveMinimum" not in out:
            out["minimum"] = -_SAFE_INTEGER
        if "maximum" not in out and "exclusiveMaximum" not in out:
            out["maximum"] = _SAFE_INTEGER
    if kind == "number" and "multipleOf" not in out:
        out["multipleOf"] = _NUMBER_STEP
    return out


def json_schema_grammar(schema: Any) -> str:
    """The llguidance grammar of JSON documents that `schema` (a dict or its JSON text) accepts, read
    as `_generation_schema` says."""
    llg = _llguidance()
    checked = _generation_schema(_schema_dict(schema, "the JSON schema"))
    return _validated(str(llg.LLMatcher.grammar_from_json_schema(checked, overrides=_JSON_OPTIONS)),
                      "the JSON schema")


def _validated(grammar: str, what: str) -> str:
    """`grammar` once llguidance has compiled it (without a vocabulary, so a server can refuse a request
    before it reaches a model); ValueError with llguidance's reason otherwise."""
    error = _llguidance().LLMatcher.validate_grammar(grammar)
    if error:
        raise ValueError(f"{what} is refused: {error.strip()}")
    return grammar


def lark_grammar(lark: str) -> str:
    """The llguidance grammar of a Lark text (as the tool-call formats write them)."""
    return _validated(str(_llguidance().LLMatcher.grammar_from_lark(lark)), "the grammar")


def text_grammar(grammar: str) -> str:
    """The llguidance grammar of a Lark or GBNF (llama.cpp's format) grammar text."""
    llg = _llguidance()
    if not isinstance(grammar, str):
        raise TypeError(f"grammar must be a str (Lark or GBNF), not {type(grammar).__name__}")
    if not grammar.strip():
        raise ValueError("the grammar is empty")
    try:
        converted = str(llg.grammar_from("grammar", grammar))
    except ValueError as e:
        raise ValueError(f"the grammar is refused: {e}") from None
    return _validated(converted, "the grammar")


def response_format_grammar(response_format: Any) -> str | None:
    """The grammar of an OpenAI `response_format`: None for {"type": "text"} (or None), any JSON object
    for {"type": "json_object"}, the schema's documents for {"type": "json_schema", "json_schema":
    {"schema": ..., "strict": ...}} (held to the schema whether strict or not)."""
    if response_format is None:
        return None
    if not isinstance(response_format, Mapping) or not isinstance(response_format.get("type"), str):
        raise ValueError('response_format must be a dict with a "type": "text", "json_object" or "json_schema"')
    kind = response_format["type"]
    if kind == "text":
        return None
    if kind == "json_object":
        return json_schema_grammar({"type": "object"})
    if kind == "json_schema":
        entry = response_format.get("json_schema")
        if not isinstance(entry, Mapping):
            raise ValueError('response_format of type "json_schema" needs "json_schema": {"name": ..., "schema": {...}}')
        schema = entry.get("schema", {"type": "object"})
        return json_schema_grammar(schema)
    raise ValueError(f'response_format type {kind!r} is not one of "text", "json_object", "json_schema"')


# ---- the vocabulary as llguidance reads it -------------------------------------------------------


class _Vocabulary:
    """quillfen's tokenizer in the shape llguidance's TokenizerWrapper reads: bytes per id (control
    tokens marked with a leading 0xFF, so no text can spell them), the end-of-generation ids, and
    a function from text to ids."""

    def __init__(self, tokenizer: Any) -> None:
        self._tokenizer = tokenizer
        n = tokenizer.vocab_size
        tokens: list[bytes] = []
        special: list[int] = []
        for i in range(n):
            plain = tokenizer.decode([i], False, False)
            if plain:
                tokens.append(plain)
            else:  # a control token: it has text only when control tokens are spelled out
                special.append(i)
                tokens.append(b"\xff" + tokenizer.decode([i], True, False))
        self.tokens = tokens
        self.special_token_ids = special
        self.ends = [i for i in range(n) if tokenizer.is_end_of_generation(i)]
        self.eos_token_id = next(iter(self.ends), tokenizer.eos_id if tokenizer.eos_id is not None else 0)
        self.bos_token_id = tokenizer.bos_id

    def __call__(self, text: str | bytes) -> list[int]:
        if isinstance(text, bytes):
            text = text.decode("utf-8", errors="replace")
        return list(self._tokenizer.encode(text, False, False))


def grammar_tokenizer(tokenizer: Any) -> tuple[Any, dict[str, int]]:
    """An llguidance LLTokenizer over quillfen's `tokenizer` (its own vocabulary, not a hub's), and the
    control tokens by their text (which grammars name as <[id]>); building them takes a moment, so a
    model keeps its one."""
    llg = _llguidance()
    vocab = _Vocabulary(tokenizer)
    controls = {vocab.tokens[i][1:].decode("utf-8", "replace"): i for i in vocab.special_token_ids}
    return (llg.LLTokenizer(llg.TokenizerWrapper(vocab), n_vocab=tokenizer.vocab_size,
                            eos_token=vocab.ends or vocab.eos_token_id), controls)


def new_matcher(lltokenizer: Any, grammar: str) -> Any:
    """A matcher of `grammar` at its start; ValueError naming the problem when llguidance refuses it."""
    llg = _llguidance()
    error = llg.LLMatcher.validate_grammar(grammar, lltokenizer)
    if error:
        raise ValueError(f"the grammar does not compile: {error}")
    matcher = llg.LLMatcher(lltokenizer, grammar, log_level=0)
    if matcher.is_error():
        raise ValueError(f"the grammar does not compile: {matcher.get_error()}")
    return matcher


# ---- tools ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class ToolCall:
    """One call the model made: a function's name and its arguments as JSON text (OpenAI's shape)."""

    id: str
    name: str
    arguments: str

    def as_openai(self, index: int | None = None) -> dict[str, Any]:
        out: dict[str, Any] = {"id": self.id, "type": "function",
                               "function": {"name": self.name, "arguments": self.arguments}}
        if index is not None:
            out["index"] = index
        return out


def _call_id() -> str:
    return "call_" + secrets.token_hex(12)


def check_tools(tools: Any) -> list[dict[str, Any]]:
    """OpenAI `tools` ([{"type": "function", "function": {"name", "description", "parameters"}}]) as
    plain dicts, each function's parameters an object schema ({"type": "object", "properties": {}}
    when left out). ValueError naming the first tool at fault."""
    if tools is None:
        return []
    if isinstance(tools, (str, bytes, Mapping)) or not isinstance(tools, Sequence):
        raise ValueError("tools must be a list of {'type': 'function', 'function': {...}} dicts")
    out: list[dict[str, Any]] = []
    names: set[str] = set()
    for i, tool in enumerate(tools):
        if not isinstance(tool, Mapping) or tool.get("type", "function") != "function":
            raise ValueError(f"tools[{i}] must be {{'type': 'function', 'function': {{...}}}}")
        function = tool.get("function")
        if not isinstance(function, Mapping):
            raise ValueError(f"tools[{i}] has no 'function' dict")
        name = function.get("name")
        if not isinstance(name, str) or not re.fullmatch(r"[A-Za-z0-9_.\-]{1,64}", name):
            raise ValueError(f"tools[{i}]: the function name must be 1-64 letters, digits, '_', '.' or '-', "
                             f"not {name!r}")
        if name in names:
            raise ValueError(f"tools[{i}]: a second function named {name!r}")
        names.add(name)
        parameters = _schema_dict(function.get("parameters", {"type": "object", "properties": {}}),
                                  f"tools[{i}] ({name}): the parameters")
        if parameters.get("type") != "object":
            raise ValueError(f"tools[{i}] ({name}): the parameters must be an object schema "
                             f'({{"type": "object", ...}}), not {json.dumps(parameters)[:80]}')
        entry = {k: v for k, v in function.items() if k not in ("parameters",)}
        entry["parameters"] = parameters
        description = entry.get("description")
        if description is not None and not isinstance(description, str):
            raise ValueError(f"tools[{i}] ({name}): the description must be a str")
        out.append({"type": "function", "function": entry})
    return out


def check_tool_choice(tool_choice: Any, tools: list[dict[str, Any]]) -> tuple[str, str | None]:
    """("none" | "auto" | "required", the named function or None) from OpenAI's `tool_choice`: "none",
    "auto" (the default with tools), "required", or {"type": "function", "function": {"name": ...}}."""
    if tool_choice is None:
        return ("auto" if tools else "none"), None
    if tool_choice in ("none", "auto", "required"):
        if tool_choice == "required" and not tools:
            raise ValueError('tool_choice "required" needs tools')
        return tool_choice, None
    if isinstance(tool_choice, Mapping) and isinstance(tool_choice.get("function"), Mapping):
        name = tool_choice["function"].get("name")
        if name not in {t["function"]["name"] for t in tools}:
            raise ValueError(f"tool_choice names {name!r}, which is not among the tools")
        return "required", name
    raise ValueError('tool_choice must be "none", "auto", "required" or '
                     '{"type": "function", "function": {"name": ...}}')


def _call_schema(tools: list[dict[str, Any]], name_key: str, args_key: str) -> dict[str, Any]:
    """The schema of one call object, {name_key: the name, args_key: that function's arguments}."""
    options = [{"type": "object",
                "properties": {name_key: {"const": t["function"]["name"]}, args_key: t["function"]["parameters"]},
                "required": [name_key, args_key], "additionalProperties": False} for t in tools]
    return options[0] if len(options) == 1 else {"anyOf": options}


def _lark_json(schema: dict[str, Any]) -> str:
    return "%json " + json.dumps({**_generation_schema(schema), "x-guidance": _JSON_OPTIONS})


def _lark_text(text: str, special: Callable[[str], int | None]) -> str:
    """A Lark literal for `text`, or the token itself when `text` is a control token's (which only
    that token spells)."""
    token = special(text)
    return f"<[{token}]>" if token is not None else json.dumps(text)


def _loads_object(text: str) -> dict[str, Any] | None:
    try:
        value = json.loads(text)
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def _call_from(obj: Mapping[str, Any], args_keys: Sequence[str]) -> ToolCall | None:
    name = obj.get("name")
    if not isinstance(name, str):
        return None
    for key in args_keys:
        if key in obj:
            args = obj[key]
            return ToolCall(_call_id(), name, args if isinstance(args, str) else json.dumps(args, ensure_ascii=False))
    return ToolCall(_call_id(), name, "{}")


class ToolFormat:
    """How one chat template family writes tool calls: the grammar of calls for `tool_choice`
    "required" or a named function, and the parser of the model's text."""

    name = "hermes"
    open_tag, close_tag = "<tool_call>", "</tool_call>"

    def call_grammar(self, tools: list[dict[str, Any]], parallel: bool,
                     special: Callable[[str], int | None]) -> str:
        call = (f"{_lark_text(self.open_tag, special)} \"\\n\" {_lark_json(_call_schema(tools, 'name', 'arguments'))}"
                f" \"\\n\" {_lark_text(self.close_tag, special)}")
        more = ' ("\\n" call)*' if parallel else ""
        return f"start: call{more}\ncall: {call}\n"

    # What a reply that calls tools starts with (after whitespace): a streaming server holds text back
    # from the content while the reply so far could still grow into it.
    starts: tuple[str, ...] = ("<tool_call>",)

    def may_be_call(self, text: str) -> bool:
        """Whether `text`, the start of a reply, is or could become a tool call."""
        head = text.lstrip()
        return any(head.startswith(s) or s.startswith(head) for s in self.starts)

    def shown(self, text: str) -> int:
        """How much of `text`, a reply so far, a stream may hand out as content: none while the reply
        could still be a call, and, once a call's tag appears (or the start of one, at the end), only
        the text before it."""
        if self.may_be_call(text):
            return 0
        cut = len(text)
        for start in self.starts:
            if start == "{":  # a bare object is a call only as the whole reply
                continue
            at = text.find(start)
            if at >= 0:
                cut = min(cut, at)
            for k in range(min(len(start) - 1, len(text)), 0, -1):
                if text.endswith(start[:k]):
                    cut = min(cut, len(text) - k)
                    break
        return cut

    def settled(self, text: str) -> int:
        """How much of `text`, a reply so far, holds only finished calls (ending with a closing tag), which
        a stream may hand out before the reply ends; 0 in families whose calls end only with the reply."""
        end = text.rfind(self.close_tag)
        return end + len(self.close_tag) if end >= 0 else 0

    def write(self, call: Mapping[str, Any]) -> str:
        """An OpenAI tool call ({"function": {"name", "arguments"}}) as this format writes it."""
        function = call.get("function", {}) if isinstance(call, Mapping) else {}
        arguments = function.get("arguments", {})
        if isinstance(arguments, str):
            arguments = _loads_object(arguments) or {}
        body = json.dumps({"name": function.get("name"), "arguments": arguments}, ensure_ascii=False)
        return f"{self.open_tag}\n{body}\n{self.close_tag}"

    def parse(self, text: str, names: Collection[str] | None = None) -> tuple[str, list[ToolCall]]:
        """The text outside the calls, and the calls, in order; text that only looks like a call (JSON
        that does not parse) stays text. `names`, the offered functions, tell a bare JSON answer that
        happens to hold a "name" from a call, in families whose calls carry no tags."""
        calls: list[ToolCall] = []
        pattern = re.compile(re.escape(self.open_tag) + r"\s*(.*?)\s*(?:" + re.escape(self.close_tag) + r"|$)",
                             re.DOTALL)
        kept = []
        at = 0
        for m in pattern.finditer(text):
            obj = _loads_object(m.group(1))
            call = _call_from(obj, ("arguments", "parameters")) if obj else None
            if call is None:
                continue
            calls.append(call)
            kept.append(text[at:m.start()])
            at = m.end()
        kept.append(text[at:])
        return "".join(kept).strip() if calls else text, calls


class _Llama3Format(ToolFormat):
    """Llama 3.1-3.3: a JSON object {"name": ..., "parameters": {...}} as the whole reply, or after
    <|python_tag|>, where built-in tools are also called as name.call(key="value")."""

    name = "llama3"
    starts = ("<|python_tag|>", "{")

    def settled(self, text: str) -> int:
        return 0

    def call_grammar(self, tools: list[dict[str, Any]], parallel: bool,
                     special: Callable[[str], int | None]) -> str:
        return f"start: {_lark_json(_call_schema(tools, 'name', 'parameters'))}\n"

    def parse(self, text: str, names: Collection[str] | None = None) -> tuple[str, list[ToolCall]]:
        body = text.strip()
        tagged = body.startswith("<|python_tag|>")
        body = body.removeprefix("<|python_tag|>").strip()
        calls: list[ToolCall] = []
        decoder = json.JSONDecoder()
        at = 0
        while at < len(body):
            try:
                obj, end = decoder.raw_decode(body, at)
            except ValueError:
                break
            call = _call_from(obj, ("parameters", "arguments")) if isinstance(obj, dict) else None
            if call is None or (names is not None and call.name not in names):
                break
            calls.append(call)
            at = end
            while at < len(body) and body[at] in " \t\r\n;":
                at += 1
        if calls and at >= len(body):
            return "", calls
        if tagged:
            builtin = _python_call(body)
            if builtin:
                return "", [builtin]
        return text, []


def _python_call(text: str) -> ToolCall | None:
    """A built-in tool's call as Llama 3.1 writes it: brave_search.call(query="...")."""
    try:
        tree = ast.parse(text.strip(), mode="eval").body
    except SyntaxError:
        return None
    if not (isinstance(tree, ast.Call) and isinstance(tree.func, ast.Attribute) and tree.func.attr == "call"
            and isinstance(tree.func.value, ast.Name) and not tree.args):
        return None
    try:
        args = {kw.arg: ast.literal_eval(kw.value) for kw in tree.keywords if kw.arg}
    except ValueError:
        return None
    return ToolCall(_call_id(), tree.func.value.id, json.dumps(args, ensure_ascii=False))


class _MistralFormat(ToolFormat):
    """Mistral: [TOOL_CALLS] followed by a JSON list of {"name": ..., "arguments": {...}}."""

    name = "mistral"
    starts = ("[TOOL_CALLS]",)

    def settled(self, text: str) -> int:
        return 0

    def call_grammar(self, tools: list[dict[str, Any]], parallel: bool,
                     special: Callable[[str], int | None]) -> str:
        items: dict[str, Any] = {"type": "array", "items": _call_schema(tools, "name", "arguments"), "minItems": 1}
        if not parallel:
            items["maxItems"] = 1
        return f"start: {_lark_text('[TOOL_CALLS]', special)} {_lark_json(items)}\n"

    def parse(self, text: str, names: Collection[str] | None = None) -> tuple[str, list[ToolCall]]:
        head, tag, rest = text.partition("[TOOL_CALLS]")
        if not tag:
            return text, []
        try:
            value, _ = json.JSONDecoder().raw_decode(rest.strip())
        except ValueError:
            return text, []
        items = value if isinstance(value, list) else [value]
        calls = [c for c in (_call_from(o, ("arguments", "parameters")) for o in items if isinstance(o, dict)) if c]
        return (head.strip(), calls) if calls else (text, [])


HERMES = ToolFormat()


_Finish = TypeVar("_Finish", bound=str)


def reply_calls(fmt: ToolFormat, text: str, names: Collection[str],
                finish_reason: _Finish) -> tuple[str | None, list[ToolCall], _Finish | Literal["tool_calls"]]:
    """A finished reply read as `fmt` writes calls: its content (None when only calls), the calls, and
    the finish reason ("tool_calls" when it made calls and ended by itself)."""
    content, calls = fmt.parse(text, names)
    if not calls:
        return text, [], finish_reason
    return content or None, calls, "tool_calls" if finish_reason == "stop" else finish_reason


def tool_format(chat_template: str | None) -> ToolFormat:
    """The tool-call format a chat template asks its model for; Hermes' <tool_call> tags (Qwen 2.5 and 3,
    Hermes, SmolLM3) when it names none, which is also the format quillfen describes to models whose
    templates take no tools."""
    t = chat_template or ""
    if "<|python_tag|>" in t or '"parameters": dictionary of argument name' in t:
        return _Llama3Format()
    if "[TOOL_CALLS]" in t:
        return _MistralFormat()
    return HERMES


def tools_system_prompt(tools: list[dict[str, Any]]) -> str:
    """What a model whose template takes no tools is told about them (in Hermes' format, which
    `tool_format` then parses)."""
    listing = "\n".join(json.dumps(t, ensure_ascii=False) for t in tools)
    return ("You may call one or more functions to answer. The functions, as JSON signatures:\n"
            f"<tools>\n{listing}\n</tools>\n\n"
            "To call a function, answer with a JSON object holding its name and arguments inside tags:\n"
            '<tool_call>\n{"name": <function-name>, "arguments": <arguments-json-object>}\n</tool_call>')
