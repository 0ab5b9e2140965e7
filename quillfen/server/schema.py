"""Request bodies of the OpenAI-compatible endpoints, as pydantic models.

Unknown fields are accepted and ignored, as OpenAI's clients send fields a server may not know. Fields
whose meaning this server cannot honour are refused by name (`refused_fields`), never dropped.
"""

from __future__ import annotations

from typing import Annotated, Any, Literal

from pydantic import BaseModel, ConfigDict, Field, StrictBool, StrictInt, StrictStr, model_validator



class Body(BaseModel):
    model_config = ConfigDict(extra="allow")

    def extra_fields(self) -> dict[str, Any]:
        return dict(self.__pydantic_extra__ or {})


class StreamOptions(Body):
    include_usage: StrictBool = False


class Generation(Body):
    """Fields both completion endpoints share."""

    model: StrictStr | None = None
    max_tokens: Annotated[StrictInt, Field(ge=0)] | None = None
    temperature: Annotated[float, Field(ge=0.0, le=2.0)] = 1.0
    top_p: Annotated[float, Field(gt=0.0, le=1.0)] = 1.0
    top_k: Annotated[StrictInt, Field(ge=0)] = 0
    min_p: Annotated[float, Field(ge=0.0, le=1.0)] = 0.0
    seed: StrictInt | None = None
    stop: StrictStr | list[StrictStr] | None = None
    stream: StrictBool = False
    stream_options: StreamOptions | None = None
    n: Annotated[StrictInt, Field(ge=1, le=128)] = 1
    presence_penalty: Annotated[float, Field(ge=-2.0, le=2.0)] = 0.0
    frequency_penalty: Annotated[float, Field(ge=-2.0, le=2.0)] = 0.0
    logit_bias: dict[str, Annotated[float, Field(ge=-100.0, le=100.0)]] | None = None
    # Not OpenAI's: the generated token ids with each choice (as vLLM names it).
    return_token_ids: StrictBool = False
    # {"type": "text" | "json_object" | "json_schema", ...}: checked where its grammar is made.
    response_format: Any = None

    @model_validator(mode="after")
    def _stops(self) -> Generation:
        if self.stop is not None and any(s == "" for s in ([self.stop] if isinstance(self.stop, str) else self.stop)):
            raise ValueError("a stop string must not be empty")
        return self

    def stops(self) -> list[str]:
        return [] if self.stop is None else [self.stop] if isinstance(self.stop, str) else list(self.stop)

    def include_usage(self) -> bool:
        return bool(self.stream and self.stream_options and self.stream_options.include_usage)


class TextPart(Body):
    type: StrictStr
    text: StrictStr | None = None


class Message(Body):
    role: Literal["system", "developer", "user", "assistant", "tool"]
    content: StrictStr | list[TextPart] | None = None
    name: StrictStr | None = None
    tool_calls: list[dict[str, Any]] | None = None  # an assistant's earlier calls
    tool_call_id: StrictStr | None = None  # the call a tool message answers


class ChatRequest(Generation):
    messages: Annotated[list[Message], Field(min_length=1)]
    max_completion_tokens: Annotated[StrictInt, Field(ge=0)] | None = None
    logprobs: StrictBool = False
    top_logprobs: Annotated[StrictInt, Field(ge=0, le=20)] | None = None
    # OpenAI's shapes, checked where the prompt and grammar are made (so the messages name the fault).
    tools: Any = None
    tool_choice: Any = None
    parallel_tool_calls: StrictBool = True

    def token_limit(self) -> int | None:
        return self.max_completion_tokens if self.max_completion_tokens is not None else self.max_tokens


class CompletionRequest(Generation):
    prompt: StrictStr | list[StrictStr] | list[StrictInt] | list[list[StrictInt]]
    logprobs: Annotated[StrictInt, Field(ge=0, le=20)] | None = None
    echo: StrictBool = False

    def prompts(self) -> list[str | list[int]]:
        p = self.prompt
        if isinstance(p, str):
            return [p]
        if p and all(isinstance(x, int) for x in p):
            return [list(p)]  # type: ignore[arg-type]
        return list(p)  # type: ignore[arg-type]

    def token_limit(self) -> int | None:
        # OpenAI's completions stop after 16 tokens when max_tokens is not given.
        return 16 if self.max_tokens is None else self.max_tokens


class TokenizeRequest(Body):
    content: StrictStr | None = None
    messages: list[Message] | None = None
    add_special: StrictBool = True
    with_pieces: StrictBool = False

    @model_validator(mode="after")
    def _one_input(self) -> TokenizeRequest:
        if (self.content is None) == (self.messages is None):
            raise ValueError("give either content or messages")
        return self


class DetokenizeRequest(Body):
    tokens: list[Annotated[StrictInt, Field(ge=0)]]


def refused_fields(body: Generation) -> list[str]:
    """Fields given with a meaning this server cannot honour (tools on completions, audio, ...)."""
    extra = body.extra_fields()
    refused = []
    for name in ("tools", "functions"):
        if extra.get(name):
            refused.append(name)
    for name in ("tool_choice", "function_call"):
        if extra.get(name) not in (None, "none", "auto"):
            refused.append(name)
    for name in ("suffix", "audio", "prediction"):
        if extra.get(name) is not None:
            refused.append(name)
    if extra.get("modalities") not in (None, ["text"]):
        refused.append("modalities")
    best_of = extra.get("best_of")
    if best_of is not None and best_of != body.n:
        refused.append("best_of")
    if isinstance(body, CompletionRequest) and body.echo and body.logprobs is not None:
        refused.append("echo")  # the prompt's own log-probabilities are not computed
    return refused
