"""Structured output and tool calls: on SmolLM2 and on Gemma 3 every output of a table of JSON Schemas
parses, validates (jsonschema, an independent validator) and ends before the token limit; constrained greedy equals a
brute-force reference that masks the whole logit vector with llguidance's matcher; tools render,
constrain and parse; bad schemas, grammars and tools are refused without harming the model."""

import json
import pathlib
import re
import subprocess
import sys

import jsonschema
import numpy as np
import pytest

from quillfen import Model
from quillfen._structured import HERMES, check_tools, tool_format

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from gemma3 import gemma3_path  # noqa: E402
from smollm2 import smollm2_path  # noqa: E402

S = {"type": "string", "maxLength": 24}
PERSON = {"type": "object", "properties": {"name": S, "age": {"type": "integer", "minimum": 0, "maximum": 120}},
          "required": ["name", "age"], "additionalProperties": False}
# (what it shows, the schema): nested objects and arrays, enums, anyOf, $ref/$defs, closed objects,
# string patterns and lengths, bounded numbers, required and optional keys.
SCHEMAS = [
    ("closed object", PERSON),
    ("enum", {"type": "object", "properties": {"color": {"enum": ["red", "green", "blue"]}}, "required": ["color"]}),
    ("integer enum", {"enum": [1, 2, 3, 5, 8]}),
    ("const", {"type": "object", "properties": {"v": {"const": "1.0"}, "ok": {"type": "boolean"}},
               "required": ["v", "ok"]}),
    ("boolean", {"type": "boolean"}),
    ("bounded integer", {"type": "integer", "minimum": -5, "maximum": 5}),
    ("bounded number", {"type": "object", "properties": {"p": {"type": "number", "minimum": 0, "maximum": 1}},
                        "required": ["p"], "additionalProperties": False}),
    ("exclusive bounds", {"type": "object", "properties": {"t": {"type": "number", "exclusiveMinimum": -10,
                                                                  "exclusiveMaximum": 40}}, "required": ["t"]}),
    ("string lengths", {"type": "object", "properties": {"code": {"type": "string", "minLength": 3, "maxLength": 6}},
                        "required": ["code"], "additionalProperties": False}),
    ("pattern", {"type": "object", "properties": {"phone": {"type": "string", "pattern": "^[0-9]{3}-[0-9]{4}$"}},
                 "required": ["phone"]}),
    ("pattern of letters", {"type": "string", "pattern": "^[A-Z][a-z]{2,8}$"}),
    ("array of integers", {"type": "array", "items": {"type": "integer", "minimum": 0, "maximum": 99},
                           "minItems": 1, "maxItems": 5}),
    ("array of strings", {"type": "object", "properties": {"tags": {"type": "array", "items": S, "maxItems": 4}},
                          "required": ["tags"], "additionalProperties": False}),
    ("array of objects", {"type": "array", "items": PERSON, "minItems": 1, "maxItems": 3}),
    ("nested arrays", {"type": "array", "items": {"type": "array", "items": {"type": "integer"}, "maxItems": 3},
                       "minItems": 2, "maxItems": 2}),
    ("nested objects", {"type": "object", "properties": {
        "user": PERSON, "address": {"type": "object", "properties": {"city": S, "zip": {"type": "string",
                                                                                       "pattern": "^[0-9]{5}$"}},
                                    "required": ["city", "zip"], "additionalProperties": False}},
        "required": ["user", "address"], "additionalProperties": False}),
    ("three levels", {"type": "object", "properties": {"a": {"type": "object", "properties": {"b": {
        "type": "object", "properties": {"c": {"type": "integer"}}, "required": ["c"]}}, "required": ["b"]}},
        "required": ["a"]}),
    ("optional keys", {"type": "object", "properties": {"title": S, "year": {"type": "integer"},
                                                        "rating": {"type": "number"}},
                       "required": ["title"], "additionalProperties": False}),
    ("no required keys", {"type": "object", "properties": {"x": {"type": "integer"}, "y": {"type": "integer"}},
                          "additionalProperties": False}),
    ("anyOf scalars", {"type": "object", "properties": {"id": {"anyOf": [{"type": "integer"}, S]}},
                       "required": ["id"]}),
    ("anyOf objects", {"anyOf": [{"type": "object", "properties": {"cat": S}, "required": ["cat"],
                                  "additionalProperties": False},
                                 {"type": "object", "properties": {"dog": S}, "required": ["dog"],
                                  "additionalProperties": False}]}),
    ("nullable", {"type": "object", "properties": {"note": {"type": ["string", "null"], "maxLength": 16}},
                  "required": ["note"]}),
    ("null", {"type": "null"}),
    ("$ref to $defs", {"$defs": {"person": PERSON}, "type": "object",
                       "properties": {"author": {"$ref": "#/$defs/person"},
                                      "editors": {"type": "array", "items": {"$ref": "#/$defs/person"},
                                                  "maxItems": 2}},
                       "required": ["author"], "additionalProperties": False}),
    ("$ref chain", {"$defs": {"id": {"type": "integer", "minimum": 1}, "item": {
        "type": "object", "properties": {"id": {"$ref": "#/$defs/id"}, "name": S}, "required": ["id", "name"]}},
        "$ref": "#/$defs/item"}),
    ("tuple", {"type": "array", "prefixItems": [S, {"type": "integer", "minimum": 0, "maximum": 100}],
               "items": False}),
    ("enum in array", {"type": "array", "items": {"enum": ["low", "mid", "high"]}, "minItems": 1, "maxItems": 3}),
    ("string", {"type": "string", "maxLength": 30}),
    ("integer", {"type": "integer"}),
    ("open object", {"type": "object", "properties": {"k": S}, "required": ["k"]}),
    ("mixed record", {"type": "object", "properties": {
        "sku": {"type": "string", "pattern": "^[A-Z]{3}-[0-9]{3}$"}, "price": {"type": "number", "minimum": 0},
        "stock": {"type": "integer", "minimum": 0, "maximum": 1000}, "tags": {"type": "array", "items": S,
                                                                               "maxItems": 3},
        "status": {"enum": ["active", "retired"]}}, "required": ["sku", "price", "status"],
        "additionalProperties": False}),
    ("oneOf", {"type": "object", "properties": {"size": {"oneOf": [{"type": "integer", "minimum": 0, "maximum": 9},
                                                                   {"enum": ["none", "many"]}]}},
               "required": ["size"]}),
]
SEEDS = (1, 2, 3)


@pytest.fixture(scope="module")
def smol():
    return Model(smollm2_path(), progress=False)


def ask(schema_name):
    return [{"role": "user", "content": f"Reply with a short JSON example of a {schema_name}."}]


@pytest.mark.parametrize("name,schema", SCHEMAS, ids=[s[0] for s in SCHEMAS])
def test_every_output_parses_validates_and_ends_before_the_limit(smol, name, schema):
    fmt = {"type": "json_schema", "json_schema": {"name": "x", "schema": schema, "strict": True}}
    for seed in SEEDS:
        out = smol.chat(ask(name), response_format=fmt, max_tokens=120, seed=seed, temperature=0.8)
        assert out.finish_reason == "stop", (seed, out.text)
        jsonschema.validate(json.loads(out.text), schema)


def test_gemma_3_and_its_vocabulary_of_262_144_pieces_stay_inside_every_schema():
    # Another architecture and another vocabulary (SentencePiece pieces, no chat template: a plain prompt).
    model = Model(gemma3_path(), progress=False)
    for name, schema in SCHEMAS:
        out = model.generate(f"A short JSON example of a {name}:\n", json_schema=schema, max_tokens=120, seed=1,
                             temperature=0.8)
        assert out.finish_reason == "stop", (name, out.text)
        jsonschema.validate(json.loads(out.text), schema)


def test_a_random_model_with_a_byte_level_vocabulary_of_264_tokens_stays_inside_every_schema(tiny_path):
    # Random weights take whatever the mask allows: long strings and arrays, odd bytes. What ends
    # validates; the rest is cut by the tiny model's 64-token context, never by an empty mask.
    model = Model(tiny_path, progress=False)
    for name, schema in SCHEMAS:
        out = model.generate("x", json_schema=schema, max_tokens=100, seed=1)
        assert out.finish_reason == "stop" or len(out.tokens) + 1 >= model.context_length, name
        if out.finish_reason == "stop":
            jsonschema.validate(json.loads(out.text), schema)


def brute_force_greedy(model, prompt, grammar, n):
    """Greedy decoding by hand: every step's whole logit vector, masked by a fresh matcher's bitmask,
    then the last index of the maximum (the sampler's tie rule)."""
    matcher = model.grammar_matcher(grammar)
    vocab = model.tokenizer.vocab_size
    ids = np.arange(vocab)
    context, out = list(prompt), []
    for _ in range(n):
        logits = np.frombuffer(model._native.logits(context), np.float32)[:vocab].copy()
        words = np.frombuffer(matcher.compute_bitmask(), np.uint32)
        logits[((words[ids // 32] >> (ids % 32)) & 1) == 0] = -np.inf
        token = int(vocab - 1 - np.argmax(logits[::-1]))
        if model.tokenizer.is_end_of_generation(token):
            break
        out.append(token)
        context.append(token)
        assert matcher.consume_token(token)
        if matcher.is_stopped():
            break
    return out


@pytest.mark.parametrize("schema", [dict(SCHEMAS)[n] for n in ("closed object", "nested arrays", "$ref to $defs")],
                         ids=["object", "array", "ref"])
def test_constrained_greedy_is_the_brute_force_reference(smol, schema):
    from quillfen._structured import json_schema_grammar
    prompt = smol.chat_tokens(ask("record"))
    out = smol.generate(prompt, json_schema=schema, max_tokens=60, temperature=0)
    assert out.tokens == brute_force_greedy(smol, prompt, json_schema_grammar(schema), 60)
    if out.finish_reason == "stop":
        jsonschema.validate(json.loads(out.text), schema)


def test_grammars_streams_and_json_object(smol):
    gbnf = 'root ::= ("yes" | "no") " because " [a-z ]{1,20} "."'
    lark = 'start: ("red" | "green") "," /[0-9]{2}/'
    for grammar, pattern in ((gbnf, r"(yes|no) because [a-z ]{1,20}\."), (lark, r"(red|green),[0-9]{2}")):
        out = smol.generate("Answer:", grammar=grammar, max_tokens=40, seed=4)
        assert out.finish_reason == "stop"
        assert re.fullmatch(pattern, out.text), out.text
    stream = smol.chat(ask("person"), response_format={"type": "json_schema", "json_schema": {"schema": PERSON}},
                       stream=True, max_tokens=80, seed=5)
    pieces = list(stream)
    assert "".join(pieces) == stream.result.text and stream.result.finish_reason == "stop"
    jsonschema.validate(json.loads(stream.result.text), PERSON)
    assert stream.result.mask_seconds > 0
    obj = smol.chat(ask("thing"), response_format={"type": "json_object"}, max_tokens=100, seed=6)
    assert isinstance(json.loads(obj.text), dict)
    # A cut document reports "length", not "stop".
    assert smol.generate("List:", json_schema={"type": "array", "items": {"type": "integer"}, "minItems": 50},
                         max_tokens=8, seed=1).finish_reason == "length"


WEATHER = {"type": "function", "function": {
    "name": "get_weather", "description": "Current weather in a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string", "maxLength": 30},
                                                    "unit": {"enum": ["celsius", "fahrenheit"]}},
                   "required": ["city", "unit"], "additionalProperties": False}}}
TIME = {"type": "function", "function": {
    "name": "get_time", "parameters": {"type": "object", "properties": {"zone": {"type": "string",
                                                                               "pattern": "^[A-Z]{3}$"}},
                                       "required": ["zone"]}}}


def test_required_and_named_tool_calls_follow_the_parameter_schema(smol):
    messages = [{"role": "user", "content": "What is the weather in Paris?"}]
    tools = [WEATHER, TIME]
    params = {t["function"]["name"]: t["function"]["parameters"] for t in tools}
    for choice in ("required", {"type": "function", "function": {"name": "get_time"}}):
        for seed in (1, 2):
            out = smol.chat(messages, tools=tools, tool_choice=choice, parallel_tool_calls=False, max_tokens=100,
                            seed=seed)
            assert out.finish_reason == "tool_calls" and len(out.tool_calls) == 1, out.text
            call = out.tool_calls[0]
            if isinstance(choice, dict):
                assert call.name == "get_time"
            jsonschema.validate(json.loads(call.arguments), params[call.name])
            assert out.message()["tool_calls"][0]["function"]["name"] == call.name
    # Streamed, then the tool's result sent back: the reply is text.
    stream = smol.chat(messages, tools=tools, tool_choice="required", stream=True, max_tokens=100, seed=3,
                       parallel_tool_calls=False)
    assert "".join(stream) == stream.result.text and stream.result.tool_calls
    follow = messages + [stream.result.message(),
                         {"role": "tool", "tool_call_id": stream.result.tool_calls[0].id, "content": "18 C, sunny"}]
    call = stream.result.tool_calls[0]
    assert f'<tool_call>\n{{"name": "{call.name}", "arguments": {call.arguments}}}' in smol.chat_prompt(follow)
    reply = smol.chat(follow, tools=tools, tool_choice="none", max_tokens=20, seed=1)
    assert not reply.tool_calls and reply.finish_reason in ("stop", "length")


QWEN_LIKE = """{%- if tools %}<|im_start|>system
{%- for tool in tools %}
{{ tool | tojson }}
{%- endfor %}<|im_end|>
{% endif %}
{%- for message in messages %}<|im_start|>{{ message.role }}
{%- if message.content %}
{{ message.content }}{% endif %}
{%- for tool_call in message.tool_calls or [] %}
<tool_call>
{"name": "{{ tool_call.function.name }}", "arguments": {{ tool_call.function.arguments | tojson }}}
</tool_call>{% endfor %}<|im_end|>
{% endfor %}{% if add_generation_prompt %}<|im_start|>assistant
{% endif %}"""


def test_templates_that_read_tools_get_them_and_earlier_calls_as_objects(smol):
    model = Model(smollm2_path(), progress=False)
    model.chat_template = QWEN_LIKE
    messages = [{"role": "user", "content": "Weather?"},
                {"role": "assistant", "content": None, "tool_calls": [
                    {"id": "c1", "type": "function",
                     "function": {"name": "get_weather", "arguments": '{"city": "Oslo", "unit": "celsius"}'}}]},
                {"role": "tool", "tool_call_id": "c1", "content": "-3 C"}]
    text = model.apply_chat_template(messages, tools=check_tools([WEATHER]))
    assert '"name": "get_weather"' in text.split("<|im_end|>")[0]  # the tool, in the system turn
    assert '{"name": "get_weather", "arguments": {"city": "Oslo", "unit": "celsius"}}' in text
    out = model.chat(messages, tools=[WEATHER], tool_choice="required", max_tokens=80, seed=1)
    assert out.finish_reason == "tool_calls" and out.tool_calls[0].name == "get_weather"


@pytest.mark.parametrize("template,text,content,calls", [
    ("<tool_call>", 'Sure.\n<tool_call>\n{"name": "f", "arguments": {"a": 1}}\n</tool_call>\n'
                    '<tool_call>\n{"name": "g", "arguments": {}}\n</tool_call>', "Sure.", [("f", {"a": 1}), ("g", {})]),
    ("<tool_call>", '<tool_call>\n{"name": "f", "arguments": {"a": 1}}', "", [("f", {"a": 1})]),  # cut before the tag
    ("<tool_call>", "<tool_call> not json </tool_call>", None, []),
    ("<|python_tag|>", '{"name": "f", "parameters": {"q": "x"}}', "", [("f", {"q": "x"})]),
    ("<|python_tag|>", '<|python_tag|>{"name": "f", "parameters": {}}; {"name": "g", "parameters": {"n": 2}}', "",
     [("f", {}), ("g", {"n": 2})]),
    ("<|python_tag|>", '<|python_tag|>brave_search.call(query="weather in Oslo")', "",
     [("brave_search", {"query": "weather in Oslo"})]),
    ("<|python_tag|>", "The answer is 4.", None, []),
    ("<|python_tag|>", '{"name": "Ada", "parameters": {"born": 1815}}', None, []),  # JSON naming no tool
    ("[TOOL_CALLS]", '[TOOL_CALLS][{"name": "f", "arguments": {"a": [1]}}]', "", [("f", {"a": [1]})]),
])
def test_each_family_s_tool_calls_are_parsed(template, text, content, calls):
    got_content, got = tool_format(template).parse(text, {"f", "g"})
    assert [(c.name, json.loads(c.arguments)) for c in got] == calls
    assert got_content == (text if content is None else content)
    assert len({c.id for c in got}) == len(got)
    # A streaming server holds back every prefix of a reply that is all calls, and streams plain text.
    if content == "":
        assert all(tool_format(template).may_be_call(text[:n]) for n in range(len(text.split("{")[0]) + 1))
    assert tool_format(template).may_be_call(text) != text[0].isalpha()  # (a bare JSON answer is held back)


@pytest.mark.parametrize("call,message", [
    (lambda m: m.generate("x", json_schema={"type": "foo"}), "type"),
    (lambda m: m.generate("x", json_schema={"type": "string", "format": "no-such-format"}), "format"),
    (lambda m: m.generate("x", json_schema={"type": "array", "uniqueItems": True}), "uniqueItems"),
    (lambda m: m.generate("x", json_schema={"$ref": "#/$defs/missing"}), "missing"),
    (lambda m: m.generate("x", json_schema="{not json"), "JSON"),
    (lambda m: m.generate("x", grammar="start: undefined_rule"), "undefined_rule"),
    (lambda m: m.generate("x", grammar="root ::= ("), "grammar"),
    (lambda m: m.generate("x", json_schema={}, grammar="start: a"), "not both"),
    (lambda m: m.chat([{"role": "user", "content": "x"}], response_format={"type": "xml"}), "xml"),
    (lambda m: m.chat([{"role": "user", "content": "x"}], tools=[{"type": "function", "function": {
        "name": "f", "parameters": {"type": "array"}}}]), "object schema"),
    (lambda m: m.chat([{"role": "user", "content": "x"}], tools=[WEATHER],
                      tool_choice={"type": "function", "function": {"name": "nope"}}), "nope"),
    (lambda m: m.chat([{"role": "user", "content": "x"}], tool_choice="required"), "needs tools"),
])
def test_bad_input_is_a_value_error_and_the_model_stays_usable(smol, call, message):
    with pytest.raises(ValueError, match=message):
        call(smol)
    assert smol.generate("x", json_schema={"type": "boolean"}, max_tokens=4, seed=1).text in ("true", "false")


def test_the_native_mask_limits_the_draw_and_refuses_bad_masks(tiny_path):
    model = Model(tiny_path, progress=False)
    native, vocab = model._native, model.tokenizer.vocab_size
    context = model.tokenize("the cat")
    words = np.zeros((vocab + 31) // 32, np.uint32)
    words[7 // 32] |= 1 << 7
    words[(vocab - 1) // 32] |= np.uint32(1 << ((vocab - 1) % 32))
    seen = {native.next_token(context, 50.0, 0, 1.0, 0.0, seed, words)[0] for seed in range(40)}
    assert seen == {7, vocab - 1}
    assert native.next_token(context, 0.0, 0, 1.0, 0.0, 0, lambda: words.tobytes())[0] in seen
    for bad, error in ((np.zeros_like(words), "allows no token"), (words[:-1], "needs"), (b"abc", "whole number"),
                       (3.5, "buffer")):
        with pytest.raises((ValueError, TypeError), match=error):
            native.next_token(context, 0.0, 0, 1.0, 0.0, 0, bad)
    with pytest.raises(ZeroDivisionError):
        native.next_token(context, 0.0, 0, 1.0, 0.0, 0, lambda: 1 / 0)
    free = model.generate(context, max_tokens=6, temperature=0)
    assert free.tokens == Model(tiny_path, progress=False).generate(context, max_tokens=6, temperature=0).tokens
    assert HERMES.parse(free.text) == (free.text, [])


def test_the_command_holds_output_to_a_schema_or_grammar_and_refuses_bad_ones(tmp_path):
    grammar = tmp_path / "yn.gbnf"
    grammar.write_text('root ::= "yes" | "no"\n')
    path = str(smollm2_path())
    runs = [(["--chat", "--json-schema", json.dumps(PERSON)], 0), (["--grammar", str(grammar)], 0),
            (["--json-schema", '{"type": "foo"}'], 1), (["--chat", "--grammar", str(grammar)], 1)]
    for extra, status in runs:
        res = subprocess.run([sys.executable, "-m", "quillfen", "run", path, "-p", "A person:", "-n", "80",
                              "--seed", "1", *extra], capture_output=True, text=True, cwd="/")
        assert res.returncode == status, res.stderr
        if status:
            assert res.stderr.startswith("quillfen: ") and "Traceback" not in res.stderr
        elif "--grammar" in extra:
            assert res.stdout.strip() in ("yes", "no")
        else:
            jsonschema.validate(json.loads(res.stdout), PERSON)
