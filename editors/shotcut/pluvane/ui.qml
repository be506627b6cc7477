// Shotcut's panel for the pluvane frei0r filter. Parameters are frei0r
// parameter numbers; the panel sets "Units" to "native", so every number is
// in the control's own units and the keyframes Shotcut interpolates are too.
// "Seed" is a whole number, "Mix" a percentage of the filter's fraction.
// The frame rate follows the project's profile; the point light is placed by
// "Light X" and "Light Y", fractions of the frame shown as percentages (MLT
// passes no positions). No function or property here takes a name Qt's
// items already have (update, state, data, ...): inside a row such a name
// would call the item's own instead.
import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import Shotcut.Controls 1.0 as Shotcut

Shotcut.KeyframableFilter {
    id: root

    // The keyframable numbers: frei0r parameter, the control's name, the
    // slider's span, the control's default, as shown; the filter's value is
    // the shown one times `scale`.
    readonly property var doubles: [
        {property: '2', name: qsTr('Drip Rate'), minimum: 0, maximum: 5, value: 1, decimals: 1, suffix: '', scale: 1},
        {property: '3', name: qsTr('Longevity (sec)'), minimum: 0, maximum: 6, value: 1, decimals: 2, suffix: ' s', scale: 1},
        {property: '4', name: qsTr('Rippling'), minimum: 0, maximum: 720, value: 360, decimals: 1, suffix: ' °', scale: 1},
        {property: '5', name: qsTr('Displacement'), minimum: -50, maximum: 50, value: 20, decimals: 1, suffix: '', scale: 1},
        {property: '6', name: qsTr('Ripple Height'), minimum: 0, maximum: 200, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '7', name: qsTr('Spreading'), minimum: 0, maximum: 200, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '9', name: qsTr('Light Intensity'), minimum: 0, maximum: 150, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '12', name: qsTr('Light Height'), minimum: 0, maximum: 100, value: 65, decimals: 1, suffix: '', scale: 1},
        {property: '22', name: qsTr('Light X'), minimum: 0, maximum: 100, value: 25, decimals: 1, suffix: ' %', scale: 0.01},
        {property: '23', name: qsTr('Light Y'), minimum: 0, maximum: 100, value: 25, decimals: 1, suffix: ' %', scale: 0.01},
        {property: '14', name: qsTr('Light Direction'), minimum: -180, maximum: 180, value: -45, decimals: 1, suffix: ' °', scale: 1},
        {property: '15', name: qsTr('Ambient'), minimum: 0, maximum: 100, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '16', name: qsTr('Diffuse'), minimum: 0, maximum: 100, value: 0, decimals: 1, suffix: ' %', scale: 1},
        {property: '17', name: qsTr('Specular'), minimum: 0, maximum: 100, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '18', name: qsTr('Roughness'), minimum: 0.001, maximum: 0.25, value: 0.015, decimals: 3, suffix: '', scale: 1},
        {property: '19', name: qsTr('Metal'), minimum: 0, maximum: 100, value: 100, decimals: 1, suffix: ' %', scale: 1},
        {property: '25', name: qsTr('Mix'), minimum: 0, maximum: 100, value: 100, decimals: 1, suffix: ' %', scale: 0.01}
    ]
    // A whole number, not keyframed (a seed between two others means nothing).
    readonly property var seedControl: ({property: '24', name: qsTr('Seed'), minimum: 0, maximum: 63, value: 0})
    readonly property var usingChoices: ['Effect Light', 'AE Lights']
    readonly property var lightTypes: ['Distant Light', 'Point Light']
    readonly property string defaultColor: '#ffffff'

    // The project's rate as the filter reads it: 30000/1001 is 29.97002997...,
    // which the filter takes as the NTSC rate it is.
    function projectRate() {
        return String(profile.fps);
    }

    function setControls() {
        var position = getPosition();
        blockUpdate = true;
        for (var i = 0; i < rows.count; i++)
            rows.itemAt(i).refresh(position);
        usingCombo.currentIndex = Math.max(usingChoices.indexOf(filter.get('8')), 0);
        typeCombo.currentIndex = Math.max(lightTypes.indexOf(filter.get('11')), 0);
        colorPicker.value = filter.get('10');
        draftCheck.checked = filter.getDouble('20') >= 0.5;
        seedSlider.value = filter.getDouble(seedControl.property);
        blockUpdate = false;
    }

    function updateSimpleKeyframes() {
        for (var i = 0; i < rows.count; i++)
            rows.itemAt(i).applySlider(null);
    }

    keyframableParameters: doubles.map(function(d) { return d.property; })
    startValues: doubles.map(function(d) { return d.value * d.scale; })
    middleValues: doubles.map(function(d) { return d.value * d.scale; })
    endValues: doubles.map(function(d) { return d.value * d.scale; })
    width: 420
    height: 620
    Component.onCompleted: {
        if (filter.isNew) {
            filter.set('0', 'seconds');
            filter.set('21', 'native');
            filter.set('8', usingChoices[0]);
            filter.set('10', defaultColor);
            filter.set('11', lightTypes[0]);
            filter.set('20', 0);
            filter.set(seedControl.property, seedControl.value);
            for (var i = 0; i < doubles.length; i++)
                filter.set(doubles[i].property, doubles[i].value * doubles[i].scale);
            filter.savePreset(preset.parameters);
        }
        if (filter.get('1') !== projectRate())
            filter.set('1', projectRate());
        setControls();
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8

        RowLayout {
            Label {
                text: qsTr('Preset')
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            Shotcut.Preset {
                id: preset

                parameters: keyframableParameters.concat(['8', '10', '11', '20', seedControl.property])
                Layout.fillWidth: true
                onBeforePresetLoaded: resetSimpleKeyframes()
                onPresetSelected: {
                    setControls();
                    initializeSimpleKeyframes();
                }
            }
        }

        RowLayout {
            Label {
                text: qsTr('Using')
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            Shotcut.ComboBox {
                id: usingCombo

                implicitWidth: 180
                model: usingChoices
                onActivated: filter.set('8', usingChoices[index])
            }
        }

        RowLayout {
            Label {
                text: qsTr('Light Type')
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            Shotcut.ComboBox {
                id: typeCombo

                implicitWidth: 180
                model: lightTypes
                onActivated: filter.set('11', lightTypes[index])
            }
        }

        RowLayout {
            Label {
                text: qsTr('Light Color')
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            Shotcut.ColorPicker {
                id: colorPicker

                eyedropper: false
                onValueChanged: {
                    if (!blockUpdate)
                        filter.set('10', value);
                }
            }

            Shotcut.UndoButton {
                onClicked: colorPicker.value = defaultColor
            }
        }

        Repeater {
            id: rows

            model: doubles

            RowLayout {
                property var d: modelData

                function refresh(position) {
                    slider.value = filter.getDouble(d.property, position) / d.scale;
                    keyButton.checked = filter.animateIn <= 0 && filter.animateOut <= 0 && filter.keyframeCount(d.property) > 0;
                    slider.enabled = isSimpleKeyframesActive();
                }

                // Not "update": that is the row's own repaint.
                function applySlider(position) {
                    updateFilter(d.property, slider.value * d.scale, keyButton, position);
                }

                Label {
                    text: d.name
                    Layout.preferredWidth: 110
                    horizontalAlignment: Text.AlignRight
                }

                Shotcut.SliderSpinner {
                    id: slider

                    minimumValue: d.minimum
                    maximumValue: d.maximum
                    decimals: d.decimals
                    stepSize: Math.pow(10, -d.decimals)
                    suffix: d.suffix
                    onValueChanged: applySlider(getPosition())
                }

                Shotcut.UndoButton {
                    onClicked: slider.value = d.value
                }

                Shotcut.KeyframesButton {
                    id: keyButton

                    onToggled: toggleKeyframes(checked, d.property, slider.value * d.scale)
                }
            }
        }

        RowLayout {
            Label {
                text: qsTr('Draft')
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            CheckBox {
                id: draftCheck

                onClicked: filter.set('20', checked ? 1 : 0)
            }
        }

        RowLayout {
            Label {
                text: seedControl.name
                Layout.preferredWidth: 110
                horizontalAlignment: Text.AlignRight
            }

            Shotcut.SliderSpinner {
                id: seedSlider

                minimumValue: seedControl.minimum
                maximumValue: seedControl.maximum
                decimals: 0
                stepSize: 1
                onValueChanged: {
                    if (!blockUpdate)
                        filter.set(seedControl.property, Math.round(value));
                }
            }

            Shotcut.UndoButton {
                onClicked: seedSlider.value = seedControl.value
            }
        }

        Item {
            Layout.fillHeight: true
        }
    }

    Connections {
        function onChanged() {
            setControls();
        }

        function onInChanged() {
            updateSimpleKeyframes();
        }

        function onOutChanged() {
            updateSimpleKeyframes();
        }

        function onAnimateInChanged() {
            updateSimpleKeyframes();
        }

        function onAnimateOutChanged() {
            updateSimpleKeyframes();
        }

        function onPropertyChanged(name) {
            setControls();
        }

        target: filter
    }

    Connections {
        function onPositionChanged() {
            setControls();
        }

        target: producer
    }
}
